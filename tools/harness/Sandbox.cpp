#include "tools/harness/Sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/Sha1.h"

namespace testsupport {

std::string sha1Hex(const std::string& bytes) {
    SHA1 sha;
    sha.update(bytes.data(), bytes.size());
    uint8_t digest[20];
    sha.digest(digest);
    char hex[41];
    for (int i = 0; i < 20; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/installer-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    removeTree(path_);
}

bool enterPrivateMountNamespace(std::string* why) {
    if (unshare(CLONE_NEWNS) != 0) {
        if (why) *why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        return false;
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        if (why) *why = std::string("making / private: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool mountTmpfs(const std::string& path, uint64_t sizeBytes, std::string* why) {
    makeDirs(path);
    std::string options = "size=" + std::to_string(sizeBytes);
    if (mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        if (why) *why = "mount tmpfs on " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool tmpfsMountsAvailable(std::string* why) {
    int pipefd[2];
    if (pipe(pipefd) != 0) {
        if (why) *why = "pipe failed";
        return false;
    }
    TempDir dir;
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        std::string reason;
        bool ok = enterPrivateMountNamespace(&reason) &&
                  mountTmpfs(dir.path() + "/probe", 65536, &reason);
        if (!ok && write(pipefd[1], reason.data(), reason.size()) < 0) _exit(2);
        _exit(ok ? 0 : 1);
    }
    close(pipefd[1]);
    char buffer[512];
    ssize_t n = read(pipefd[0], buffer, sizeof buffer);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok && why) *why = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "unknown";
    return ok;
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
    auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) makeDirs(path.substr(0, slash));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void makeDirs(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty()) mkdir(partial.c_str(), 0755);
    }
}

std::vector<std::string> directoryNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : directoryNames(path)) removeTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

static void listInto(const std::string& root, const std::string& relative,
                     std::vector<std::string>& lines) {
    for (const std::string& name : directoryNames(root + relative)) {
        std::string rel = relative + "/" + name;
        std::string path = root + rel;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        char mode[16];
        std::snprintf(mode, sizeof mode, "%06o", static_cast<unsigned>(st.st_mode));
        std::string line = rel + " " + mode;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            line += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISREG(st.st_mode)) {
            std::string content = readFile(path);
            line += " " + std::to_string(content.size()) + " " + sha1Hex(content);
        }
        lines.push_back(line);
        if (S_ISDIR(st.st_mode)) listInto(root, rel, lines);
    }
}

std::string treeListing(const std::string& root) {
    std::vector<std::string> lines;
    listInto(root, "", lines);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

}  // namespace testsupport
