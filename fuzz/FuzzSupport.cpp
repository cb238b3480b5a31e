#include "fuzz/FuzzSupport.h"

#include <dirent.h>
#include <sanitizer/common_interface_defs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/ByteOrder.h"

namespace fuzzsupport {

namespace {

const char* const kBaseDirectories[] = {"/flash/var/pdb", "/ram", "/rw"};

bool isDotOrDotDot(const char* name) {
    return std::string(name) == "." || std::string(name) == "..";
}

void listTree(const std::string& path, std::vector<std::string>& lines) {
    DIR* directory = opendir(path.c_str());
    if (!directory) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(directory)) {
        if (!isDotOrDotDot(entry->d_name)) names.push_back(entry->d_name);
    }
    closedir(directory);
    for (const std::string& name : names) {
        std::string child = path == "/" ? "/" + name : path + "/" + name;
        if (child == "/proc") continue;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        char type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        lines.push_back(std::string(1, type) + " " + child + " " +
                        std::to_string(S_ISDIR(st.st_mode) ? 0 : st.st_size));
        if (S_ISDIR(st.st_mode)) listTree(child, lines);
    }
}

// Starts the sanitizers' symbolizer while its program is still reachable: once
// the root has changed it could not be started, and a crash report would come
// without function names.
void startSymbolizer() {
    char text[256];
    __sanitizer_symbolize_pc(__builtin_return_address(0), "%p %F %L", text, sizeof text);
}

bool mountPrivateTmpfs(const std::string& directory) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tmpfs", directory.c_str(), "tmpfs", 0, kRootTmpfsOptions) == 0;
}

}  // namespace

const char* const kDatabasePackageNames[kDatabasePackageCount] = {"alpha", "beta", "gamma",
                                                                  ".hidden"};

void enterPrivateRoot() {
    startSymbolizer();
    const char* parent = std::getenv(kRootParentVariable);
    std::string pattern = std::string(parent && *parent ? parent : "/tmp") + "/root-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    std::string directory(name.data());
    bool onTmpfs = mountPrivateTmpfs(directory);
    // The leak checker lists the process's threads through /proc; read-only so
    // that nothing an install stages can reach the kernel's settings.
    std::string proc = directory + "/proc";
    mkdir(proc.c_str(), 0755);
    if (onTmpfs)
        mount("proc", proc.c_str(), "proc", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    if (chroot(directory.c_str()) != 0 || chdir("/") != 0) {
        std::perror("chroot");
        std::exit(1);
    }
    std::fprintf(stderr, "INFO: private root %s%s\n", directory.c_str(),
                 onTmpfs ? " (tmpfs)" : " (no tmpfs: mounting refused)");
    resetRoot();
}

void resetRoot() {
    DIR* root = opendir("/");
    std::vector<std::string> names;
    if (root) {
        while (dirent* entry = readdir(root)) {
            if (!isDotOrDotDot(entry->d_name) && std::string(entry->d_name) != "proc")
                names.push_back(entry->d_name);
        }
        closedir(root);
    }
    for (const std::string& name : names) removeTree("/" + name);
    for (const char* directory : kBaseDirectories) makeDirs(directory);
}

std::string treeListing() {
    std::vector<std::string> lines;
    listTree("/", lines);
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        DIR* directory = opendir(path.c_str());
        std::vector<std::string> names;
        if (directory) {
            while (dirent* entry = readdir(directory)) {
                if (!isDotOrDotDot(entry->d_name)) names.push_back(entry->d_name);
            }
            closedir(directory);
        }
        for (const std::string& name : names) removeTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void makeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) return;
    }
}

uint32_t inputHash(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

void expectationFailed(const char* what, const std::string& detail) {
    std::fprintf(stderr, "==== fuzz expectation failed: %s\n%s\n", what, detail.c_str());
    std::abort();
}

std::vector<DatabaseRecord> decodeDatabaseInput(const uint8_t* data, size_t size) {
    std::vector<DatabaseRecord> records;
    size_t pos = 0;
    while (size - pos >= kDatabaseRecordHeaderSize) {
        uint8_t tag = data[pos];
        size_t length = load16le(data + pos + 1);
        pos += kDatabaseRecordHeaderSize;
        length = std::min(length, size - pos);
        DatabaseRecord record;
        record.slot = static_cast<DatabaseSlot>(tag % 16);
        record.package = tag / 16 % kDatabasePackageCount;
        record.content.assign(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        if (record.slot < kSlotCount) records.push_back(std::move(record));
    }
    return records;
}

std::string encodeDatabaseInput(const std::vector<DatabaseRecord>& records) {
    std::string out;
    for (const DatabaseRecord& record : records) {
        uint8_t header[kDatabaseRecordHeaderSize];
        header[0] = static_cast<uint8_t>(record.package * 16 + record.slot);
        store16le(header + 1, static_cast<uint16_t>(record.content.size()));
        out.append(reinterpret_cast<const char*>(header), sizeof header);
        out += record.content;
    }
    return out;
}

void writeDatabaseRecord(const DatabaseRecord& record) {
    static const char* const kFileNames[kSlotCount] = {
        "version", "deps",  "provides", "conflicts", "bundle", "files", "disabled",
        "enabled", "image", "schedule", "",          "",       "image"};
    std::string name = kDatabasePackageNames[record.package];
    std::string directory = "/flash/var/pdb/" + name + "/";
    switch (record.slot) {
        case kSlotSchedule:
            makeDirs("/ram/pdb/" + name);
            writeFile("/ram/pdb/" + name + "/schedule", record.content);
            return;
        case kSlotImageDirectory:
            makeDirs("/rw/pckg/.images");
            writeFile("/rw/pckg/.images/" + name, record.content);
            return;
        case kSlotEmptyDirectory:
            makeDirs(directory);
            return;
        case kSlotBootImage:
            makeDirs(directory);
            writeFile("/flash/bootimage", record.content);
            unlink((directory + "image").c_str());
            symlink("/flash/bootimage", (directory + "image").c_str());
            return;
        default:
            makeDirs(directory);
            writeFile(directory + kFileNames[record.slot], record.content);
            return;
    }
}

std::vector<InstalledPackage> installedTemplate() {
    return {
        {"base", makeVersion(1, 0, kStageFinal, 0), 1000, "", "", "opt/base/README"},
        {"old", makeVersion(1, 0, kStageFinal, 0), 1000, "base 0 0\n", "", "opt/old/data"},
        {"guard", makeVersion(2, 1, kStageFinal, 3), 2000, "", "victim 0 0\n", "bin/guard"},
    };
}

void writeInstalledTemplate() {
    for (const InstalledPackage& package : installedTemplate()) {
        std::string directory = "/flash/var/pdb/" + package.name + "/";
        makeDirs(directory);
        writeFile(directory + "version",
                  std::to_string(package.version) + " " + std::to_string(package.buildTime) + "\n");
        if (!package.deps.empty()) writeFile(directory + "deps", package.deps);
        if (!package.conflicts.empty()) writeFile(directory + "conflicts", package.conflicts);
        writeFile(directory + "files", "flash/" + package.file + "\n");
        std::string path = "/flash/" + package.file;
        makeDirs(path.substr(0, path.rfind('/')));
        writeFile(path, "installed " + package.name + "\n");
    }
}

}  // namespace fuzzsupport
