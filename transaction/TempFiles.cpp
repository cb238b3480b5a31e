#include "transaction/TempFiles.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

constexpr char kTempNamePrefix[] = "/tmp";
constexpr mode_t kPrivateMode = 0600;

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

bool createFile(FsTransaction& transaction, const std::string& target, uint32_t sizeHint,
                mode_t mode, OutputFile& out) {
    std::string prefix = temporaryDirectory(transaction, target, sizeHint) + kTempNamePrefix;
    // mode 0 keeps what a fresh private temporary file has.
    mode_t wanted = mode != 0 ? mode & 07777 : kPrivateMode;
    std::string tempPath;
    int fd = transaction.registry().createUnique(prefix, wanted, tempPath);
    if (fd < 0) {
        transaction.noteWriteFailure(target, errno);
        return false;
    }
    // Only a mode the umask would cut needs a change after creation.
    if (transaction.createdMode(wanted) != wanted && fchmod(fd, wanted) != 0) {
        int error = errno;
        close(fd);
        if (unlink(tempPath.c_str()) == 0) transaction.registry().forget(tempPath);
        transaction.noteWriteFailure(target, error);
        errno = error;
        return false;
    }
    transaction.stage(target, FsEntryKind::NewFile, tempPath);
    out.attach(fd);
    return true;
}

bool writeStagedFile(FsTransaction& transaction, const std::string& target, uint32_t sizeHint,
                     mode_t mode, const std::string& content) {
    OutputFile out;
    bool written = createFile(transaction, target, sizeHint, mode, out);
    if (written) {
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        written = out.close();
    }
    if (!written) transaction.noteWriteFailure(target, errno);
    return written;
}
