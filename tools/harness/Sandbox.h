#pragma once
// Scratch trees for tests and benchmarks: temporary directories, private mount
// namespaces with small tmpfs mounts, and whole-tree listings for before/after
// comparison.
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// In the calling (child) process: a private mount namespace. False with the
// reason when the system refuses.
bool enterPrivateMountNamespace(std::string* why);
bool mountTmpfs(const std::string& path, uint64_t sizeBytes, std::string* why);
// Whether tmpfs mounts in a private namespace work here at all (probed once in a
// child); why receives the reason when they do not.
bool tmpfsMountsAvailable(std::string* why);

void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
void makeDirs(const std::string& path);
void removeTree(const std::string& path);
// The names in a directory but "." and "..", sorted; none when it cannot be read.
std::vector<std::string> directoryNames(const std::string& dir);
// The SHA-1 of bytes in lowercase hex.
std::string sha1Hex(const std::string& bytes);
// Every entry below root, sorted: type, mode, size, content digest or link text.
std::string treeListing(const std::string& root);

}  // namespace testsupport
