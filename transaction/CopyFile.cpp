#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "transaction/FsTransaction.h"

namespace {

constexpr mode_t kPermissionBits = 07777;

// Reports the failure, deletes the partial copy and leaves the target alone.
bool abandonCopy(int copyFd, int sourceFd, const std::string& copyPath, TempRegistry& registry) {
    int error = errno;
    if (copyFd >= 0) close(copyFd);
    if (sourceFd >= 0) close(sourceFd);
    if (unlink(copyPath.c_str()) == 0) registry.forget(copyPath);
    errno = error;
    perror("copy");
    return false;
}

// Copies every byte from one descriptor to the other; false with errno set.
bool copyContents(int sourceFd, int copyFd, Spinner* spinner) {
    char buffer[kCopyChunkSize];
    for (;;) {
        ssize_t got = read(sourceFd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        ssize_t put;
        do {
            put = write(copyFd, buffer, static_cast<size_t>(got));
        } while (put < 0 && errno == EINTR);
        if (put < 0) return false;
        if (put != got) {
            // A regular file takes fewer bytes than offered only when its file
            // system has run out of room.
            errno = ENOSPC;
            return false;
        }
        if (spinner) spinner->step();
    }
}

}  // namespace

bool copyFile(const std::string& source, const std::string& target, Spinner* spinner,
              TempRegistry& registry) {
    struct stat st;
    if (stat(source.c_str(), &st) != 0) {
        perror("copy");
        return false;
    }
    if (!S_ISREG(st.st_mode)) return false;

    // The copy is built under a temporary name beside the target, so that a copy
    // that fails half-way (a full flash, an I/O error) never replaces a good
    // file with a truncated one.
    std::string copyPath;
    int copyFd = registry.createUnique(target + ".", 0600, copyPath);
    if (copyFd < 0) {
        perror("copy");
        return false;
    }
    // Keep the exact mode, as a rename on the same file system would have.
    if (fchmod(copyFd, st.st_mode & kPermissionBits) != 0)
        return abandonCopy(copyFd, -1, copyPath, registry);
    int sourceFd = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (sourceFd < 0) return abandonCopy(copyFd, -1, copyPath, registry);
    if (!copyContents(sourceFd, copyFd, spinner))
        return abandonCopy(copyFd, sourceFd, copyPath, registry);
    close(sourceFd);
    // Delayed allocation can report a full file system only here.
    if (fsync(copyFd) != 0) return abandonCopy(copyFd, -1, copyPath, registry);
    if (close(copyFd) != 0) return abandonCopy(-1, -1, copyPath, registry);
    if (rename(copyPath.c_str(), target.c_str()) != 0)
        return abandonCopy(-1, -1, copyPath, registry);
    registry.forget(copyPath);
    return true;
}
