/* Preloaded into the installer to end it abruptly, as a power loss would, at a
 * chosen file-system change.
 *
 * INTERRUPT_AT=N   counts every change (rename, renameat, renameat2, unlink,
 *                  unlinkat, rmdir, mkdir, mkdirat, symlink, symlinkat, and
 *                  write, writev, pwrite to regular files) and kills the
 *                  process with SIGKILL just before the Nth one takes effect.
 *                  N = 0 counts without killing. Without the variable nothing
 *                  is counted and every call passes straight through.
 * INTERRUPT_LOG=F  appends one line per counted change to file F:
 *                  "<number> <operation> <path>" ("<operation> fd<n>" for
 *                  writes). The file is opened at start-up, so a later chroot
 *                  of the process does not move it.
 *
 * Killing with SIGKILL leaves no chance to flush stream buffers or run exit
 * handlers, which is what a lost supply does to the router. */
/* This file wraps pwrite and pwrite64 as two functions. With 64-bit file offsets
 * turned on for the whole build (32-bit targets), the headers would rename the
 * first into the second; the plain declarations keep them apart. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static long interruptAt = -1; /* -1: not counting */
static long changeCount = 0;
static int logFd = -1;

static void __attribute__((constructor)) readSettings(void) {
    const char* at = getenv("INTERRUPT_AT");
    if (!at || !*at) return;
    interruptAt = strtol(at, NULL, 10);
    if (interruptAt < 0) interruptAt = 0;
    const char* log = getenv("INTERRUPT_LOG");
    if (log && *log) logFd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

/* The log goes out through the system call itself so that it neither counts
 * as a change nor recurses into the wrapper of write. */
static void logChange(const char* operation, const char* path, int fd) {
    if (logFd < 0) return;
    char line[4200];
    int n;
    if (path)
        n = snprintf(line, sizeof line, "%ld %s %s\n", changeCount, operation, path);
    else
        n = snprintf(line, sizeof line, "%ld %s fd%d\n", changeCount, operation, fd);
    if (n <= 0) return;
    if ((size_t)n >= sizeof line) n = (int)sizeof line - 1;
    int saved = errno;
    (void)syscall(SYS_write, logFd, line, (size_t)n);
    errno = saved;
}

static void countChange(const char* operation, const char* path, int fd) {
    if (interruptAt < 0) return;
    ++changeCount;
    logChange(operation, path, fd);
    if (changeCount == interruptAt) {
        raise(SIGKILL);
        for (;;) pause();
    }
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
        static const char message[] = "interrupt_at: missing symbol\n";
        (void)syscall(SYS_write, 2, message, sizeof message - 1);
        abort();
    }
    return symbol;
}

/* Looks the wrapped function up once, in the libraries after this one. */
#define REAL(name)                  \
    static __typeof__(&name) real_; \
    if (!real_) real_ = (__typeof__(&name))nextSymbol(#name)

int rename(const char* from, const char* to) {
    REAL(rename);
    countChange("rename", to, -1);
    return real_(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    REAL(renameat);
    countChange("renameat", to, -1);
    return real_(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    REAL(renameat2);
    countChange("renameat2", to, -1);
    return real_(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    REAL(unlink);
    countChange("unlink", path, -1);
    return real_(path);
}

int unlinkat(int dir, const char* path, int flags) {
    REAL(unlinkat);
    countChange("unlinkat", path, -1);
    return real_(dir, path, flags);
}

int rmdir(const char* path) {
    REAL(rmdir);
    countChange("rmdir", path, -1);
    return real_(path);
}

int mkdir(const char* path, mode_t mode) {
    REAL(mkdir);
    countChange("mkdir", path, -1);
    return real_(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode) {
    REAL(mkdirat);
    countChange("mkdirat", path, -1);
    return real_(dir, path, mode);
}

int symlink(const char* text, const char* path) {
    REAL(symlink);
    countChange("symlink", path, -1);
    return real_(text, path);
}

int symlinkat(const char* text, int dir, const char* path) {
    REAL(symlinkat);
    countChange("symlinkat", path, -1);
    return real_(text, dir, path);
}

ssize_t write(int fd, const void* data, size_t size) {
    REAL(write);
    if (isRegularFile(fd)) countChange("write", NULL, fd);
    return real_(fd, data, size);
}

ssize_t writev(int fd, const struct iovec* vectors, int count) {
    REAL(writev);
    if (isRegularFile(fd)) countChange("writev", NULL, fd);
    return real_(fd, vectors, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    REAL(pwrite);
    if (isRegularFile(fd)) countChange("pwrite", NULL, fd);
    return real_(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
    REAL(pwrite64);
    if (isRegularFile(fd)) countChange("pwrite64", NULL, fd);
    return real_(fd, data, size, offset);
}
