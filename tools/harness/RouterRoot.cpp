#include "tools/harness/RouterRoot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "platform/ByteOrder.h"
#include "tools/Signer.h"
#include "tools/harness/RouterTree.h"

namespace e2e {

RouterRoot::RouterRoot() {
    for (const std::string& d : harness::routerBaseDirectories()) testsupport::makeDirs(at(d));
}

testsupport::ProcessResult RouterRoot::run(const std::vector<std::string>& args,
                                           const std::string& input,
                                           const std::map<std::string, std::string>& env,
                                           int timeoutSeconds) const {
    std::vector<std::string> all = {"-r", path()};
    all.insert(all.end(), args.begin(), args.end());
    testsupport::ProcessOptions options;
    options.input = input;
    options.environment = withSanitizerOptions(env);
    options.timeoutSeconds = timeoutSeconds;
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

testsupport::ProcessResult RouterRoot::install(
    const std::string& packageBytes, const std::vector<std::string>& extraArgs,
    const std::map<std::string, std::string>& env) const {
    std::vector<std::string> args = extraArgs;
    args.push_back("-");
    return run(args, packageBytes, env);
}

void RouterRoot::write(const std::string& inside, const std::string& content, unsigned mode) const {
    testsupport::writeFile(at(inside), content, mode);
}

std::string RouterRoot::read(const std::string& inside) const {
    return testsupport::readFile(at(inside));
}

bool RouterRoot::exists(const std::string& inside) const {
    return testsupport::exists(at(inside));
}

std::string RouterRoot::listing() const {
    return testsupport::treeListing(path());
}

std::string RouterRoot::listingWithoutPostLog() const {
    std::istringstream all(listing());
    std::string line, kept;
    while (std::getline(all, line))
        if (line.rfind("/flash/postlog ", 0) != 0) kept += line + "\n";
    return kept;
}

static void findTemporaries(const std::string& root, const std::string& relative,
                            std::vector<std::string>& found) {
    for (const std::string& name : testsupport::directoryNames(root + relative)) {
        std::string rel = relative + "/" + name;
        struct stat st;
        if (lstat((root + rel).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            findTemporaries(root, rel, found);
        else if (harness::isScratchName(name))
            found.push_back(rel);
    }
}

std::vector<std::string> RouterRoot::temporaryFiles() const {
    std::vector<std::string> found;
    findTemporaries(path(), "", found);
    std::sort(found.begin(), found.end());
    return found;
}

std::string signedPackage(const pkgwriter::PackageRecipe& recipe) {
    std::string key = pkgsign::developmentSecretKey();
    return pkgwriter::writePackage(recipe, &key);
}

std::string signedBundle(const pkgwriter::BundleRecipe& recipe) {
    std::string key = pkgsign::developmentSecretKey();
    return pkgwriter::writeBundle(recipe, &key);
}

pkgwriter::PackageRecipe simplePackage(const std::string& name, VersionNumber version,
                                       uint32_t buildTime) {
    pkgwriter::PackageRecipe recipe;
    recipe.name = name;
    recipe.version = version;
    recipe.buildTime = buildTime;
    recipe.files.push_back(file("opt/" + name + "/README", "package " + name + "\n"));
    return recipe;
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

void prepareUpgradeRoot(const RouterRoot& root) {
    testsupport::makeDirs(root.at("/flash/boot"));
}

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

namespace e2e {

std::vector<pkgwriter::Part> splitParts(const std::string& packageFile) {
    std::vector<pkgwriter::Part> parts;
    size_t at = kFileHeaderSize;
    while (at + kPartHeaderSize <= packageFile.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(packageFile.data() + at);
        uint16_t type = load16le(p);
        uint32_t length = load32le(p + 2);
        at += kPartHeaderSize;
        parts.push_back({type, packageFile.substr(at, length)});
        at += length;
    }
    return parts;
}

}  // namespace e2e

// ---- Saved trees, and the dynamically linked installer run inside a root ----
#include <fcntl.h>

#include <cstring>

namespace e2e {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

constexpr char kInsideInstaller[] = "/installer";

void copyFileKeepingMode(const std::string& from, const std::string& to, mode_t mode) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out >= 0) {
        char buffer[65536];
        ssize_t n;
        while ((n = read(in, buffer, sizeof buffer)) > 0)
            if (write(out, buffer, static_cast<size_t>(n)) != n) break;
        fchmod(out, mode & 07777);
        close(out);
    }
    close(in);
}

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// The absolute paths ldd names for a program: its libraries and the loader.
std::vector<std::string> sharedLibrariesOf(const std::string& program) {
    testsupport::ProcessResult result = testsupport::runProgram("/usr/bin/ldd", {program});
    std::vector<std::string> paths;
    std::istringstream words(result.out);
    std::string word;
    while (words >> word)
        if (!word.empty() && word[0] == '/') paths.push_back(word);
    return paths;
}

}  // namespace

bool staticInstallerAvailable(std::string* why) {
    if (testsupport::exists(INSTALLER_STATIC_BINARY)) return true;
    if (why)
        *why = std::string("no static installer was built (") + INSTALLER_STATIC_BINARY +
               "); the sanitizer build has none";
    return false;
}

bool sanitizedBuild() {
    return kSanitizedBuild;
}

void copyTree(const std::string& from, const std::string& to) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        mkdir(to.c_str(), 0700);
        for (const std::string& name : testsupport::directoryNames(from))
            copyTree(from + "/" + name, to + "/" + name);
        chmod(to.c_str(), st.st_mode & 07777);
    } else if (S_ISLNK(st.st_mode)) {
        char text[4096];
        ssize_t n = readlink(from.c_str(), text, sizeof text);
        if (n >= 0) (void)!symlink(std::string(text, static_cast<size_t>(n)).c_str(), to.c_str());
    } else if (S_ISREG(st.st_mode)) {
        copyFileKeepingMode(from, to, st.st_mode);
    }
}

std::string routerListing(const RouterRoot& root) {
    std::string kept;
    for (const std::string& dir : harness::routerDirectories()) {
        std::istringstream lines(testsupport::treeListing(root.at(dir)));
        std::string line;
        while (std::getline(lines, line)) {
            std::string full = dir + line;
            if (full.rfind("/flash/postlog ", 0) != 0) kept += full + "\n";
        }
    }
    return kept;
}

void restoreRouterTree(const RouterRoot& root, const std::string& savedRoot) {
    for (const std::string& dir : harness::routerDirectories()) {
        testsupport::removeTree(root.at(dir));
        copyTree(savedRoot + dir, root.at(dir));
    }
}

bool installDynamicInstaller(const RouterRoot& root, const std::vector<std::string>& extraFiles,
                             std::string* why) {
    if (kSanitizedBuild) {
        if (why)
            *why =
                "the sanitizer runtime of this build needs /proc, which the root lacks, "
                "to run the installer inside it";
        return false;
    }
    std::vector<std::string> libraries = sharedLibrariesOf(INSTALLER_BINARY);
    if (libraries.empty()) {
        if (why) *why = std::string("ldd found no libraries for ") + INSTALLER_BINARY;
        return false;
    }
    for (const std::string& library : libraries) {
        struct stat st;
        if (stat(library.c_str(), &st) != 0) {
            if (why) *why = "cannot find " + library;
            return false;
        }
        testsupport::makeDirs(root.at(directoryOf(library)));
        copyFileKeepingMode(library, root.at(library), st.st_mode);
    }
    copyFileKeepingMode(INSTALLER_BINARY, root.at(kInsideInstaller), 0755);
    for (const std::string& extra : extraFiles)
        copyFileKeepingMode(extra, root.at("/" + baseName(extra)), 0755);
    return true;
}

testsupport::ProcessResult runDynamicInside(const RouterRoot& root,
                                            const std::vector<std::string>& args,
                                            const std::map<std::string, std::string>& env,
                                            int timeoutSeconds) {
    testsupport::ProcessOptions options;
    options.environment = env;
    options.chrootDirectory = root.path();
    options.timeoutSeconds = timeoutSeconds;
    return testsupport::runProgram(kInsideInstaller, args, options);
}

std::map<std::string, std::string> withSanitizerOptions(std::map<std::string, std::string> env) {
    std::string status = std::to_string(kSanitizerExitStatus);
    // A preloaded library may come before the sanitizer runtime.
    env["ASAN_OPTIONS"] =
        "detect_leaks=0:halt_on_error=1:verify_asan_link_order=0:exitcode=" + status;
    env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1:exitcode=" + status;
    return env;
}

}  // namespace e2e
