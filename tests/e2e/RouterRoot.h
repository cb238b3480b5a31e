#pragma once
// A fresh temporary router root for end-to-end runs of the built installer, and
// packages signed with the development key.
#include <map>
#include <string>
#include <vector>

#include "support/ProcessRunner.h"
#include "support/Sandbox.h"
#include "tools/PackageWriter.h"

namespace e2e {

class RouterRoot {
public:
    // Creates the directories a router always has: /flash/var/pdb, /ram, /rw.
    RouterRoot();

    const std::string& path() const { return dir_.path(); }
    // Host path of a path inside the root.
    std::string at(const std::string& inside) const { return dir_.path() + inside; }

    // Runs the installer as "installer -r ROOT args...".
    testsupport::ProcessResult run(const std::vector<std::string>& args,
                                   const std::string& input = std::string(),
                                   const std::map<std::string, std::string>& env = {}) const;
    // Runs a static installer copied into the root, after changing root there
    // (for --commit and --cancel, which act before any -r).
    testsupport::ProcessResult runInside(const std::vector<std::string>& args,
                                         const std::map<std::string, std::string>& env = {}) const;
    // Stream install of one package file with "-".
    testsupport::ProcessResult install(const std::string& packageBytes,
                                       const std::vector<std::string>& extraArgs = {},
                                       const std::map<std::string, std::string>& env = {}) const;

    void write(const std::string& inside, const std::string& content, unsigned mode = 0644) const;
    std::string read(const std::string& inside) const;
    bool exists(const std::string& inside) const;
    // Sorted listing of every entry with type, mode and content digest.
    std::string listing() const;
    // Listing without the post-log, which every stream install may touch.
    std::string listingWithoutPostLog() const;
    // Files anywhere below the root whose names look like temporary files.
    std::vector<std::string> temporaryFiles() const;

private:
    testsupport::TempDir dir_;
};

// Signed with the development key.
std::string signedPackage(const pkgwriter::PackageSpec& spec);
std::string signedBundle(const pkgwriter::BundleSpec& spec);
pkgwriter::PackageSpec simplePackage(const std::string& name, VersionNumber version,
                                     uint32_t buildTime = 1000);
pkgwriter::ContainerFile file(const std::string& name, const std::string& data,
                              uint16_t permissions = 0644);

}  // namespace e2e

namespace e2e {

// Upload directories of the upgrade run.
constexpr const char* kUploads = "/flash/rw/pckg/";
constexpr const char* kFallbackUploads = "/flash/var/pckg/";

// An upgrade run checks the free space of "/flash/boot" as well as "/flash", so
// a root used for upgrades needs that directory.
void prepareUpgradeRoot(const RouterRoot& root);
// Places a package file in an upload directory (kUploads or kFallbackUploads).
void upload(const RouterRoot& root, const std::string& directory, const std::string& fileName,
            const std::string& bytes);
// The database entry of an installed package described by metadata files, as an
// earlier install leaves it, with one installed file "/flash/opt/NAME/README".
// disabledState is written to "disabled" unless empty ("user\n" or "auto\n").
void addInstalledEntry(const RouterRoot& root, const std::string& name, VersionNumber version,
                       const std::vector<PackageRange>& dependencies = {},
                       const std::string& disabledState = std::string(),
                       uint32_t buildTime = 1000);
// The listing of the root without the post-log and without temporary files.
std::string listingWithoutScratch(const RouterRoot& root);
// Pseudo-random bytes that deflate cannot shrink, the same for the same seed.
std::string incompressibleBytes(size_t size, uint32_t seed);

}  // namespace e2e
