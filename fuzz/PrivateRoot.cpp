#include "fuzz/PrivateRoot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "tools/harness/RouterTree.h"

namespace fuzzsupport {

namespace {

constexpr const char* kMemoryDirectory = "/dev/shm";
const char* const kPathFlags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict="};

// First path components inside the root that hold mounts; never listed or removed.
std::set<std::string> reservedNames;
// The root's own file system: nothing on another one is ever removed.
dev_t rootDevice = 0;

[[noreturn]] void fail(const std::string& what) {
    std::perror(what.c_str());
    std::fprintf(stderr, "the file-system fuzz targets need root and mount namespaces\n");
    std::exit(1);
}

bool isDotOrDotDot(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

std::vector<std::string> entriesOf(const std::string& path) {
    std::vector<std::string> names;
    DIR* directory = opendir(path.c_str());
    if (!directory) return names;
    while (dirent* entry = readdir(directory)) {
        if (!isDotOrDotDot(entry->d_name)) names.push_back(entry->d_name);
    }
    closedir(directory);
    return names;
}

std::string childOf(const std::string& path, const std::string& name) {
    return path == "/" ? "/" + name : path + "/" + name;
}

bool isReserved(const std::string& path, const std::string& name) {
    return path == "/" && reservedNames.count(name) != 0;
}

void listTree(const std::string& path, std::vector<std::string>& lines) {
    for (const std::string& name : entriesOf(path)) {
        if (isReserved(path, name)) continue;
        std::string child = childOf(path, name);
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        lines.push_back(std::string(1, type) + " " + child + " " +
                        std::to_string(S_ISDIR(st.st_mode) ? 0 : st.st_size));
        if (S_ISDIR(st.st_mode)) listTree(child, lines);
    }
}

void removeOnRoot(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || st.st_dev != rootDevice) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    for (const std::string& name : entriesOf(path)) removeOnRoot(childOf(path, name));
    rmdir(path.c_str());
}

// Starts the sanitizers' symbolizer while its program is still reachable: once
// the root has changed it could not be started, and a crash report would come
// without function names.
void startSymbolizer() {
    char text[256];
    __sanitizer_symbolize_pc(__builtin_return_address(0), "%p %F %L", text, sizeof text);
}

std::string absolute(const std::string& path, const std::string& cwd) {
    return path.empty() || path[0] == '/' ? path : cwd + "/" + path;
}

// Makes host path visible at the same place below root.
void mountInside(const std::string& root, const std::string& path) {
    if (path.size() < 2) fail("refusing to mount the whole file system for " + path);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;  // libFuzzer reports what is missing
    std::string target = root + path;
    std::string parent = target.substr(0, target.rfind('/'));
    makeDirs(parent);
    if (S_ISDIR(st.st_mode)) {
        makeDirs(target);
    } else {
        int fd = open(target.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) close(fd);
    }
    if (mount(path.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail("bind mount " + path);
    size_t end = path.find('/', 1);
    reservedNames.insert(path.substr(1, end == std::string::npos ? end : end - 1));
}

// Rewrites libFuzzer's path arguments to absolute paths and mounts them.
void mountFuzzerPaths(const std::string& root, int* argc, char*** argv) {
    char buffer[4096];
    std::string cwd = getcwd(buffer, sizeof buffer) ? buffer : "/";
    static std::vector<std::string> args;
    bool artifactPrefix = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        if (i == 0) {
            args.push_back(arg);
            continue;
        }
        if (!arg.empty() && arg[0] != '-') {
            arg = absolute(arg, cwd);
            mountInside(root, arg);
        }
        for (const char* flag : kPathFlags) {
            size_t n = std::strlen(flag);
            if (arg.compare(0, n, flag) != 0) continue;
            std::string value = absolute(arg.substr(n), cwd);
            arg = flag + value;
            // A prefix or file path: its folder is what must be reachable.
            std::string folder = value.substr(0, value.rfind('/'));
            mountInside(root, folder.empty() ? "/" : folder);
            if (std::strcmp(flag, kPathFlags[0]) == 0) artifactPrefix = true;
        }
        args.push_back(arg);
    }
    if (!artifactPrefix) {
        // libFuzzer's default: crash files in the working folder.
        args.push_back(std::string(kPathFlags[0]) + cwd + "/");
        mountInside(root, cwd);
    }
    static std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    *argc = static_cast<int>(args.size());
    *argv = pointers.data();
}

}  // namespace

std::string makePrivateDirectory(const std::string& label) {
    const char* parent = std::getenv(kRootParentVariable);
    std::string pattern =
        std::string(parent && *parent ? parent : "/tmp") + "/installer-fuzz-" + label + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) fail("mkdtemp " + pattern);
    return name.data();
}

std::string makeScratchDirectory(const std::string& label) {
    struct stat st;
    if (stat(kMemoryDirectory, &st) != 0 || !S_ISDIR(st.st_mode))
        return makePrivateDirectory(label);
    std::string pattern = std::string(kMemoryDirectory) + "/installer-fuzz-" + label + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) return makePrivateDirectory(label);
    return name.data();
}

void enterPrivateRoot(int* argc, char*** argv) {
    startSymbolizer();
    std::string root = makePrivateDirectory("root");
    if (unshare(CLONE_NEWNS) != 0) fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("mount private");
    if (mount("tmpfs", root.c_str(), "tmpfs", 0, kRootTmpfsOptions) != 0) fail("mount tmpfs");
    mountFuzzerPaths(root, argc, argv);
    // The leak checker lists the process's threads through /proc; read-only so
    // that nothing an install stages can reach the kernel's settings.
    std::string proc = root + "/proc";
    mkdir(proc.c_str(), 0555);
    if (mount("proc", proc.c_str(), "proc", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
              nullptr) != 0)
        fail("mount proc");
    reservedNames.insert("proc");
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) fail("chroot " + root);
    struct stat st;
    if (stat("/", &st) != 0) fail("stat /");
    rootDevice = st.st_dev;
    resetRoot();
}

void resetRoot() {
    for (const std::string& name : entriesOf("/")) {
        if (!isReserved("/", name)) removeOnRoot("/" + name);
    }
    for (const std::string& directory : harness::routerBaseDirectories()) makeDirs(directory);
}

std::string treeListing() {
    std::vector<std::string> lines;
    listTree("/", lines);
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string temporaryFiles() {
    std::vector<std::string> lines;
    listTree("/", lines);
    std::string found;
    for (const std::string& line : lines) {
        if (line[0] != 'f') continue;
        std::string path = line.substr(2, line.rfind(' ') - 2);
        std::string name = path.substr(path.rfind('/') + 1);
        if (harness::isTemporaryName(name)) found += path + "\n";
    }
    return found;
}

}  // namespace fuzzsupport
