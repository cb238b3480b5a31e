#include "tools/PkgtoolTree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/PkgtoolCommon.h"

namespace pkgtool {

namespace {

constexpr unsigned kMaxMachineClass = 4;

struct Walk {
    std::vector<pkgwriter::ContainerFile>& entries;
    std::string* why;

    int failWith(int status, const std::string& text) {
        if (why) *why = text;
        return status;
    }
    int systemFailure(const std::string& path) {
        return failWith(kExitIo, path + ": " + std::strerror(errno));
    }

    int directory(const std::string& hostPath, const std::string& prefix) {
        DIR* dir = ::opendir(hostPath.c_str());
        if (!dir) return systemFailure(hostPath);
        std::vector<std::string> names;
        errno = 0;
        while (dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
            errno = 0;
        }
        int readError = errno;
        ::closedir(dir);
        if (readError != 0) {
            errno = readError;
            return systemFailure(hostPath);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            int status = entry(hostPath + "/" + name, prefix + name);
            if (status != kExitOk) return status;
        }
        return kExitOk;
    }

    int entry(const std::string& hostPath, const std::string& name) {
        if (name.size() > kMaxEntryNameLength)
            return failWith(kExitTooLarge, hostPath + ": path too long for a package");
        for (char c : name)
            if (static_cast<unsigned char>(c) < 0x21)
                return failWith(kExitTooLarge, hostPath +
                                                   ": name contains a blank or control "
                                                   "character, which the installer refuses");
        struct stat st;
        if (::lstat(hostPath.c_str(), &st) != 0) return systemFailure(hostPath);
        pkgwriter::ContainerFile file;
        file.name = name;
        file.permissions = static_cast<uint16_t>(st.st_mode & 07777);
        if (S_ISDIR(st.st_mode)) {
            file.type = pkgwriter::EntryType::Directory;
            entries.push_back(file);
            return directory(hostPath, name + "/");
        }
        if (S_ISLNK(st.st_mode)) {
            file.type = pkgwriter::EntryType::Symlink;
            std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
            ssize_t n = ::readlink(hostPath.c_str(), &target[0], target.size());
            if (n < 0) return systemFailure(hostPath);
            if (static_cast<size_t>(n) >= target.size())
                return failWith(kExitIo, hostPath + ": link changed while being read");
            target.resize(static_cast<size_t>(n));
            file.data = target;
            entries.push_back(file);
            return kExitOk;
        }
        if (!S_ISREG(st.st_mode))
            return failWith(kExitTooLarge,
                            hostPath + ": not a regular file, directory or symbolic link");
        if (static_cast<unsigned long long>(st.st_size) > kMaxEntryDataSize)
            return failWith(kExitTooLarge, hostPath +
                                               ": file too large for the package format "
                                               "(at most 4294967295 bytes)");
        file.type = pkgwriter::EntryType::File;
        std::string reason;
        if (!readWholeFile(hostPath, file.data, &reason)) return failWith(kExitIo, reason);
        if (file.data.size() > kMaxEntryDataSize)
            return failWith(kExitTooLarge, hostPath + ": file too large for the package format");
        entries.push_back(std::move(file));
        return kExitOk;
    }
};

bool fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

std::string trimSlashes(const std::string& path) {
    size_t first = path.find_first_not_of('/');
    if (first == std::string::npos) return std::string();
    size_t last = path.find_last_not_of('/');
    return path.substr(first, last - first + 1);
}

bool isBelow(const std::string& name, const std::string& path) {
    return name == path || (name.size() > path.size() && name.compare(0, path.size(), path) == 0 &&
                            name[path.size()] == '/');
}

}  // namespace

int readTree(const std::string& root, std::vector<pkgwriter::ContainerFile>& entries,
             std::string* why) {
    struct stat st;
    if (::stat(root.c_str(), &st) != 0) {
        if (why) *why = root + ": " + std::strerror(errno);
        return kExitIo;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (why) *why = root + ": not a directory";
        return kExitIo;
    }
    Walk walk{entries, why};
    return walk.directory(root, std::string());
}

bool applyMachineClasses(std::vector<pkgwriter::ContainerFile>& entries,
                         const std::vector<std::string>& assignments, std::string* why) {
    struct Assignment {
        std::string path;
        uint8_t machineClass;
    };
    std::vector<Assignment> parsed;
    for (const std::string& text : assignments) {
        size_t eq = text.rfind('=');
        std::string path =
            eq == std::string::npos ? std::string() : trimSlashes(text.substr(0, eq));
        std::string number = eq == std::string::npos ? std::string() : text.substr(eq + 1);
        if (path.empty() || number.size() != 1 || number[0] < '0' ||
            static_cast<unsigned>(number[0] - '0') > kMaxMachineClass)
            return fail(why, "invalid machine class \"" + text +
                                 "\" (expected PATH=CLASS with CLASS 0 to 4)");
        bool matched = false;
        for (const pkgwriter::ContainerFile& e : entries)
            matched = matched || isBelow(e.name, path);
        if (!matched)
            return fail(why, "machine class for \"" + path + "\": no such path in the tree");
        parsed.push_back({path, static_cast<uint8_t>(number[0] - '0')});
    }
    for (pkgwriter::ContainerFile& e : entries) {
        size_t best = 0;
        for (const Assignment& a : parsed) {
            if (isBelow(e.name, a.path) && a.path.size() >= best) {
                best = a.path.size();
                e.machineClass = a.machineClass;
            }
        }
    }
    return true;
}

}  // namespace pkgtool
