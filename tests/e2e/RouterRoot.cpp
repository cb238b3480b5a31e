#include "e2e/RouterRoot.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "tools/Signer.h"

namespace e2e {

RouterRoot::RouterRoot() {
    for (const char* d : {"/flash/var/pdb", "/ram", "/rw"}) testsupport::makeDirs(at(d));
}

testsupport::ProcessResult RouterRoot::run(const std::vector<std::string>& args,
                                           const std::string& input,
                                           const std::map<std::string, std::string>& env) const {
    std::vector<std::string> all = {"-r", path()};
    all.insert(all.end(), args.begin(), args.end());
    testsupport::ProcessOptions options;
    options.input = input;
    options.environment = env;
    return testsupport::runProgram(INSTALLER_BINARY, all, options);
}

testsupport::ProcessResult RouterRoot::runInside(
    const std::vector<std::string>& args, const std::map<std::string, std::string>& env) const {
    std::string binary = testsupport::readFile(INSTALLER_STATIC_BINARY);
    write("/installer", binary, 0755);
    testsupport::ProcessOptions options;
    options.environment = env;
    options.chrootDirectory = path();
    testsupport::ProcessResult result = testsupport::runProgram("/installer", args, options);
    unlink(at("/installer").c_str());
    return result;
}

testsupport::ProcessResult RouterRoot::install(const std::string& packageBytes,
                                               const std::vector<std::string>& extraArgs,
                                               const std::map<std::string, std::string>& env) const {
    std::vector<std::string> args = extraArgs;
    args.push_back("-");
    return run(args, packageBytes, env);
}

void RouterRoot::write(const std::string& inside, const std::string& content,
                       unsigned mode) const {
    testsupport::writeFile(at(inside), content, mode);
}

std::string RouterRoot::read(const std::string& inside) const {
    return testsupport::readFile(at(inside));
}

bool RouterRoot::exists(const std::string& inside) const {
    return testsupport::exists(at(inside));
}

std::string RouterRoot::listing() const { return testsupport::treeListing(path()); }

std::string RouterRoot::listingWithoutPostLog() const {
    std::istringstream all(listing());
    std::string line, kept;
    while (std::getline(all, line))
        if (line.rfind("/flash/postlog ", 0) != 0) kept += line + "\n";
    return kept;
}

static void findTemporaries(const std::string& root, const std::string& relative,
                            std::vector<std::string>& found) {
    DIR* d = opendir((root + relative).c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string rel = relative + "/" + name;
        struct stat st;
        if (lstat((root + rel).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            findTemporaries(root, rel, found);
        else if (name.size() == 9 && name.compare(0, 3, "tmp") == 0)
            found.push_back(rel);
    }
    closedir(d);
}

std::vector<std::string> RouterRoot::temporaryFiles() const {
    std::vector<std::string> found;
    findTemporaries(path(), "", found);
    std::sort(found.begin(), found.end());
    return found;
}

std::string signedPackage(const pkgwriter::PackageSpec& spec) {
    std::string key = pkgsign::developmentSecretKey();
    return pkgwriter::writePackage(spec, &key);
}

std::string signedBundle(const pkgwriter::BundleSpec& spec) {
    std::string key = pkgsign::developmentSecretKey();
    return pkgwriter::writeBundle(spec, &key);
}

pkgwriter::PackageSpec simplePackage(const std::string& name, VersionNumber version,
                                     uint32_t buildTime) {
    pkgwriter::PackageSpec spec;
    spec.name = name;
    spec.version = version;
    spec.buildTime = buildTime;
    spec.files.push_back(file("opt/" + name + "/README", "package " + name + "\n"));
    return spec;
}

pkgwriter::ContainerFile file(const std::string& name, const std::string& data,
                              uint16_t permissions) {
    pkgwriter::ContainerFile f;
    f.name = name;
    f.data = data;
    f.permissions = permissions;
    return f;
}

}  // namespace e2e

namespace e2e {

void prepareUpgradeRoot(const RouterRoot& root) { testsupport::makeDirs(root.at("/flash/boot")); }

void upload(const RouterRoot& root, const std::string& directory, const std::string& fileName,
            const std::string& bytes) {
    root.write(directory + fileName, bytes);
}

void addInstalledEntry(const RouterRoot& root, const std::string& name, VersionNumber version,
                       const std::vector<PackageRange>& dependencies,
                       const std::string& disabledState, uint32_t buildTime) {
    const std::string dir = "/flash/var/pdb/" + name + "/";
    root.write(dir + "version", std::to_string(version) + " " + std::to_string(buildTime) + "\n");
    std::string deps;
    for (const PackageRange& d : dependencies)
        deps += d.name + " " + std::to_string(d.min) + " " + std::to_string(d.max) + "\n";
    root.write(dir + "deps", deps);
    root.write(dir + "files", "flash/opt/" + name + "/README\n");
    root.write("/flash/opt/" + name + "/README", "package " + name + "\n");
    if (!disabledState.empty()) root.write(dir + "disabled", disabledState);
}

std::string listingWithoutScratch(const RouterRoot& root) {
    std::vector<std::string> temporaries = root.temporaryFiles();
    std::istringstream all(root.listingWithoutPostLog());
    std::string line, kept;
    while (std::getline(all, line)) {
        std::string path = line.substr(0, line.find(' '));
        if (!std::binary_search(temporaries.begin(), temporaries.end(), path))
            kept += line + "\n";
    }
    return kept;
}

std::string incompressibleBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed | 1u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

}  // namespace e2e
