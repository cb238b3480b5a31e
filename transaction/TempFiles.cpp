#include "transaction/TempFiles.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr char kTempNamePattern[] = "/tmpXXXXXX";

// The nearest existing ancestor of the target decides; "/ram" when it lacks
// room or when nothing up the path can be examined. Its free space is asked
// afresh every time, since every staged file takes some of it.
std::string temporaryDirectory(FsTransaction& transaction, const std::string& target,
                               uint32_t sizeHint) {
    if (sizeHint == 0) return kRamDirectory;
    const std::string start = parentDirectory(target);
    auto known = transaction.placementAncestors.find(start);
    std::string dir = known != transaction.placementAncestors.end() ? known->second : start;
    for (;;) {
        struct statfs fs;
        if (statfs(dir.c_str(), &fs) == 0) {
            transaction.placementAncestors[start] = dir;
            if (hasRoomFor(sizeHint, static_cast<uint64_t>(fs.f_bsize),
                           static_cast<uint64_t>(fs.f_bfree)))
                return dir;
            return kRamDirectory;
        }
        if (known != transaction.placementAncestors.end()) {
            // The remembered ancestor went away: walk up from the start.
            transaction.placementAncestors.erase(known);
            known = transaction.placementAncestors.end();
            dir = start;
            continue;
        }
        if (dir == "/" || dir == ".") return kRamDirectory;
        dir = parentDirectory(dir);
    }
}

}  // namespace

bool hasRoomFor(uint64_t sizeHint, uint64_t blockSize, uint64_t freeBlocks) {
    return sizeHint + sizeHint / 10 < blockSize * freeBlocks;
}

std::ofstream createFile(FsTransaction& transaction, const std::string& target, uint32_t sizeHint,
                         mode_t mode) {
    std::string pattern = temporaryDirectory(transaction, target, sizeHint) + kTempNamePattern;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // The file only has to exist under its unique name; the stream reopens it.
    int fd = mkstemp(name.data());
    std::string tempPath(name.data());
    if (fd >= 0) {
        if (mode != 0) fchmod(fd, mode);
        close(fd);
    } else if (mode != 0) {
        chmod(tempPath.c_str(), mode);
    }
    transaction.stage(target, FsEntryKind::NewFile, tempPath);
    return std::ofstream(tempPath, std::ios::out | std::ios::binary | std::ios::trunc);
}
