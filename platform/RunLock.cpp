#include "platform/RunLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kAttempts = 10;

// Whether path still names the file open as fd: a run that ends deletes its
// lock file, and a lock taken on the deleted file guards nothing.
bool stillNamed(int fd, const char* path) {
    struct stat held;
    struct stat named;
    return fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

RunLock::~RunLock() {
    if (fd_ < 0) return;
    // Deleted while still held, so that no run after this one can take a lock
    // on a file that is no longer there without noticing.
    unlink(path_.c_str());
    close(fd_);
}

LockResult RunLock::acquire(const char* path) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int fd = open(path, O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) return LockResult::Unavailable;
        int locked;
        do {
            locked = flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            int error = errno;
            close(fd);
            return error == EWOULDBLOCK ? LockResult::Busy : LockResult::Unavailable;
        }
        if (stillNamed(fd, path)) {
            fd_ = fd;
            path_ = path;
            return LockResult::Acquired;
        }
        close(fd);
    }
    return LockResult::Busy;
}
