#pragma once
// A fresh temporary router root for end-to-end runs of the built installer, and
// packages signed with the development key.
#include <map>
#include <string>
#include <vector>

#include "tools/harness/ProcessRunner.h"
#include "tools/harness/Sandbox.h"
#include "tools/PackageWriter.h"

namespace e2e {

class RouterRoot {
public:
    // Creates the directories a router always has: /flash/var/pdb, /ram, /rw.
    RouterRoot();

    const std::string& path() const { return dir_.path(); }
    // Host path of a path inside the root.
    std::string at(const std::string& inside) const { return dir_.path() + inside; }

    // Runs the installer as "installer -r ROOT args...", with the options a
    // sanitized installer needs (withSanitizerOptions).
    testsupport::ProcessResult run(const std::vector<std::string>& args,
                                   const std::string& input = std::string(),
                                   const std::map<std::string, std::string>& env = {},
                                   int timeoutSeconds = 120) const;
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
std::string signedPackage(const pkgwriter::PackageRecipe& recipe);
std::string signedBundle(const pkgwriter::BundleRecipe& recipe);
pkgwriter::PackageRecipe simplePackage(const std::string& name, VersionNumber version,
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
// Pseudo-random bytes that deflate cannot shrink, the same for the same seed.
std::string incompressibleBytes(size_t size, uint32_t seed);

}  // namespace e2e

namespace e2e {

// The file header and parts of a whole package file, for tests that cut or
// alter a package at a part boundary.
std::vector<pkgwriter::Part> splitParts(const std::string& packageFile);

}  // namespace e2e

// ---- Saved trees, and the dynamically linked installer run inside a root ----
namespace e2e {

// Whether the static installer that runInside copies into the root was built;
// the sanitizer build has none. why receives the reason when it is missing.
bool staticInstallerAvailable(std::string* why);
// Whether this build runs under AddressSanitizer (every program then starts
// several times slower).
bool sanitizedBuild();

// Copies every entry below from into to (created when missing), keeping
// permission bits and link texts.
void copyTree(const std::string& from, const std::string& to);

// Listing of the router's directories, without the post-log: what a run of the
// installer may change. Files copied into the root to run a program there
// (libraries, the loader) are not part of it.
std::string routerListing(const RouterRoot& root);

// Replaces the router's directories of root by copies of those below savedRoot.
void restoreRouterTree(const RouterRoot& root, const std::string& savedRoot);

// The dynamically linked installer copied to "/installer" inside a root together
// with the shared libraries it loads (at their own paths), so that it can run
// after a change of root there, and so that LD_PRELOAD works for it, which the
// static installer ignores. extraFiles are copied to "/" plus their base name.
// False with the reason when that cannot work: the sanitizer runtime of a
// sanitized build needs /proc, which a bare root lacks.
bool installDynamicInstaller(const RouterRoot& root, const std::vector<std::string>& extraFiles,
                             std::string* why);
// Runs "/installer args..." inside the root prepared by installDynamicInstaller.
testsupport::ProcessResult runDynamicInside(const RouterRoot& root,
                                            const std::vector<std::string>& args,
                                            const std::map<std::string, std::string>& env = {},
                                            int timeoutSeconds = 60);

// Options for the sanitizer runtimes of a sanitized installer, which runProgram
// does not pass on from the test's own environment: findings end the run with
// the status kSanitizerExitStatus and a report on standard error; leak checks,
// which cannot work after the installer's change of root, are off.
constexpr int kSanitizerExitStatus = 86;
std::map<std::string, std::string> withSanitizerOptions(std::map<std::string, std::string> env);

}  // namespace e2e
