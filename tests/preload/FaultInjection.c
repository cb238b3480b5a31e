/* Preloaded into the installer to make the file system fail it, or to end it
 * abruptly, at a chosen call. Without the variables every call passes through.
 *
 * INTERRUPT_AT=N   counts every change (rename*, unlink*, rmdir, mkdir*,
 *                  symlink*, and writes to regular files) and raises SIGKILL
 *                  just before the Nth (0: count only); INTERRUPT_SIGNAL=TERM
 *                  raises SIGTERM there and lets the change go ahead, STOP
 *                  suspends the process there. INTERRUPT_LOG=F appends
 *                  "<number> <operation> <path or fd>" per change.
 * FAULT_CALL=K     the kind counted: write (to regular files), read, open
 *                  (open*, opendir), rename, fsync (and fdatasync), mkdir,
 *                  unlink (and rmdir), symlink, or close (of a regular file:
 *                  closed, then the error reported, as a failed write-back).
 * FAULT_AT=N       the Nth call of that kind fails (0: count only) with
 *                  FAULT_ERRNO (ENOSPC, EIO or EROFS); FAULT_ACTION=kill or
 *                  term raises SIGKILL or SIGTERM there instead. FAULT_LOG=F
 *                  appends "<number> <kind> <path or fd>" per counted call.
 *
 * Logs are opened at start-up, so that a later chroot does not move them, and
 * written with the system call itself, neither counted nor faulted. */
/* This file wraps pwrite and pwrite64 (and open and open64) as separate
 * functions. With 64-bit file offsets turned on for the whole build (32-bit
 * targets), the headers would rename the first into the second; the plain
 * declarations keep them apart. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum Kind { kWrite, kRead, kOpen, kRename, kFsync, kMkdir, kUnlink, kSymlink, kClose, kKinds, kNone };
static const char* const kKindNames[kKinds] = {"write", "read",   "open",    "rename", "fsync",
                                               "mkdir", "unlink", "symlink", "close"};
enum Action { kFail, kKill, kTerm };

static long interruptAt = -1; /* -1: not counting changes */
static int interruptSignal = SIGKILL;
static long changeCount = 0;
static int changeLogFd = -1;

static int faultKind = kNone;
static long faultAt = 0;
static long faultCount = 0;
static int faultErrno = EIO;
static int faultAction = kFail;
static int faultLogFd = -1;

static int openLog(const char* variable) {
    const char* path = getenv(variable);
    if (!path || !*path) return -1;
    return (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                        0644);
}

static int errnoNamed(const char* name) {
    if (name && strcmp(name, "ENOSPC") == 0) return ENOSPC;
    if (name && strcmp(name, "EROFS") == 0) return EROFS;
    return EIO;
}

static void __attribute__((constructor)) readSettings(void) {
    const char* at = getenv("INTERRUPT_AT");
    if (at && *at) {
        interruptAt = strtol(at, NULL, 10);
        if (interruptAt < 0) interruptAt = 0;
        changeLogFd = openLog("INTERRUPT_LOG");
        const char* signalName = getenv("INTERRUPT_SIGNAL");
        if (signalName && strcmp(signalName, "TERM") == 0) interruptSignal = SIGTERM;
        if (signalName && strcmp(signalName, "STOP") == 0) interruptSignal = SIGSTOP;
    }
    const char* kind = getenv("FAULT_CALL");
    for (int k = 0; kind && k < kKinds; ++k)
        if (strcmp(kind, kKindNames[k]) == 0) faultKind = k;
    if (faultKind == kNone) return;
    const char* n = getenv("FAULT_AT");
    faultAt = n ? strtol(n, NULL, 10) : 0;
    faultErrno = errnoNamed(getenv("FAULT_ERRNO"));
    const char* action = getenv("FAULT_ACTION");
    if (action && strcmp(action, "kill") == 0) faultAction = kKill;
    if (action && strcmp(action, "term") == 0) faultAction = kTerm;
    faultLogFd = openLog("FAULT_LOG");
}

static void logLine(int fd, long number, const char* operation, const char* path, int target) {
    if (fd < 0) return;
    char line[4200];
    int n;
    if (path)
        n = snprintf(line, sizeof line, "%ld %s %s\n", number, operation, path);
    else
        n = snprintf(line, sizeof line, "%ld %s fd%d\n", number, operation, target);
    if (n <= 0) return;
    if ((size_t)n >= sizeof line) n = (int)sizeof line - 1;
    int saved = errno;
    (void)syscall(SYS_write, fd, line, (size_t)n);
    errno = saved;
}

static void countChange(const char* operation, const char* path, int fd) {
    if (interruptAt < 0) return;
    ++changeCount;
    logLine(changeLogFd, changeCount, operation, path, fd);
    if (changeCount != interruptAt) return;
    raise(interruptSignal);
    if (interruptSignal == SIGKILL)
        for (;;) pause();
}

/* 1 when this call is to fail (errno is then set). */
static int faultHere(int kind, const char* path, int fd) {
    if (kind != faultKind) return 0;
    ++faultCount;
    logLine(faultLogFd, faultCount, kKindNames[kind], path, fd);
    if (faultCount != faultAt) return 0;
    if (faultAction == kKill) {
        raise(SIGKILL);
        for (;;) pause();
    }
    if (faultAction == kTerm) {
        raise(SIGTERM);
        return 0;
    }
    errno = faultErrno;
    return 1;
}

/* fstat64: the plain fstat of a 32-bit program fails with EOVERFLOW on files
 * whose size or inode number needs more than 32 bits. */
static int isRegularFile(int fd) {
    struct stat64 st;
    return fstat64(fd, &st) == 0 && S_ISREG(st.st_mode);
}

static void* nextSymbol(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        static const char message[] = "fault injection: missing symbol\n";
        (void)syscall(SYS_write, 2, message, sizeof message - 1);
        abort();
    }
    return symbol;
}

/* Looks the wrapped function up once, in the libraries after this one. */
#define REAL(name)                  \
    static __typeof__(&name) real_; \
    if (!real_) real_ = (__typeof__(&name))nextSymbol(#name)

/* A change of the file system: counted for interruption, faulted by kind. */
#define CHANGE(kind, operation, path, fd)                \
    do {                                                 \
        countChange(operation, path, fd);                \
        if (faultHere(kind, path, fd)) return -1;        \
    } while (0)

int rename(const char* from, const char* to) {
    REAL(rename);
    CHANGE(kRename, "rename", to, -1);
    return real_(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    REAL(renameat);
    CHANGE(kRename, "renameat", to, -1);
    return real_(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    REAL(renameat2);
    CHANGE(kRename, "renameat2", to, -1);
    return real_(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    REAL(unlink);
    CHANGE(kUnlink, "unlink", path, -1);
    return real_(path);
}

int unlinkat(int dir, const char* path, int flags) {
    REAL(unlinkat);
    CHANGE(kUnlink, "unlinkat", path, -1);
    return real_(dir, path, flags);
}

int rmdir(const char* path) {
    REAL(rmdir);
    CHANGE(kUnlink, "rmdir", path, -1);
    return real_(path);
}

int mkdir(const char* path, mode_t mode) {
    REAL(mkdir);
    CHANGE(kMkdir, "mkdir", path, -1);
    return real_(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode) {
    REAL(mkdirat);
    CHANGE(kMkdir, "mkdirat", path, -1);
    return real_(dir, path, mode);
}

int symlink(const char* text, const char* path) {
    REAL(symlink);
    CHANGE(kSymlink, "symlink", path, -1);
    return real_(text, path);
}

int symlinkat(const char* text, int dir, const char* path) {
    REAL(symlinkat);
    CHANGE(kSymlink, "symlinkat", path, -1);
    return real_(text, dir, path);
}

/* Writes count as changes, and as faultable calls, only on regular files:
 * the console is no file system. */
#define WRITE_CHANGE(operation, fd)                                  \
    do {                                                             \
        if (isRegularFile(fd)) CHANGE(kWrite, operation, NULL, fd);  \
    } while (0)

ssize_t write(int fd, const void* data, size_t size) {
    REAL(write);
    WRITE_CHANGE("write", fd);
    return real_(fd, data, size);
}

ssize_t writev(int fd, const struct iovec* vectors, int count) {
    REAL(writev);
    WRITE_CHANGE("writev", fd);
    return real_(fd, vectors, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    REAL(pwrite);
    WRITE_CHANGE("pwrite", fd);
    return real_(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    REAL(pwrite64);
    WRITE_CHANGE("pwrite64", fd);
    return real_(fd, data, size, offset);
}

ssize_t read(int fd, void* data, size_t size) {
    REAL(read);
    if (faultHere(kRead, NULL, fd)) return -1;
    return real_(fd, data, size);
}

ssize_t readv(int fd, const struct iovec* vectors, int count) {
    REAL(readv);
    if (faultHere(kRead, NULL, fd)) return -1;
    return real_(fd, vectors, count);
}

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
    REAL(pread);
    if (faultHere(kRead, NULL, fd)) return -1;
    return real_(fd, data, size, offset);
}

int close(int fd) {
    REAL(close);
    int regular = isRegularFile(fd);
    int result = real_(fd);
    if (result == 0 && regular && faultHere(kClose, NULL, fd)) return -1;
    return result;
}

int fsync(int fd) {
    REAL(fsync);
    if (faultHere(kFsync, NULL, fd)) return -1;
    return real_(fd);
}

int fdatasync(int fd) {
    REAL(fdatasync);
    if (faultHere(kFsync, NULL, fd)) return -1;
    return real_(fd);
}

static mode_t modeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
    REAL(open);
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (faultHere(kOpen, path, -1)) return -1;
    return real_(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    REAL(open64);
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (faultHere(kOpen, path, -1)) return -1;
    return real_(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    REAL(openat);
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (faultHere(kOpen, path, -1)) return -1;
    return real_(dir, path, flags, mode);
}

DIR* opendir(const char* path) {
    REAL(opendir);
    if (faultHere(kOpen, path, -1)) return NULL;
    return real_(path);
}
