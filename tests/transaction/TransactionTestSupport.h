#pragma once
// Helpers for the transaction tests: standard error capture, and children that
// run with their own tmpfs mounts (optionally chrooted into a prepared root).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/Sandbox.h"

namespace txntest {

// Runs body with file descriptor 2 redirected into memory; returns what was
// written there. Works after chroot, since nothing is opened by name.
inline std::string captureStderr(const std::function<void()>& body) {
    std::fflush(stderr);
    int capture = memfd_create("stderr", 0);
    int saved = dup(2);
    if (capture < 0 || saved < 0) {
        ADD_FAILURE() << "cannot redirect standard error: " << std::strerror(errno);
        return std::string();
    }
    dup2(capture, 2);
    body();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    char buffer[4096];
    ssize_t n;
    lseek(capture, 0, SEEK_SET);
    while ((n = read(capture, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(capture);
    return text;
}

// Empty when tmpfs mounts work here, else the reason they do not.
inline const std::string& mountRefusal() {
    static const std::string reason = [] {
        std::string why;
        if (getuid() != 0) return std::string("tests with mounts need root");
        if (testsupport::tmpfsMountsAvailable(&why)) return std::string();
        return "tmpfs mounts refused: " + why;
    }();
    return reason;
}

#define SKIP_WITHOUT_TMPFS()                                                           \
    do {                                                                               \
        if (!txntest::mountRefusal().empty()) GTEST_SKIP() << txntest::mountRefusal(); \
    } while (0)

using MountList = std::vector<std::pair<std::string, uint64_t>>;

// In a forked child: a private mount namespace, the tmpfs mounts in the given
// order (path, size in bytes), then chroot into root unless it is empty.
inline int runWithMounts(const MountList& mounts, const std::string& root,
                         const std::function<void()>& body) {
    return testsupport::runInChild([&] {
        std::string why;
        if (!testsupport::enterPrivateMountNamespace(&why)) {
            ADD_FAILURE() << why;
            return;
        }
        for (const auto& [path, size] : mounts) {
            if (!testsupport::mountTmpfs(path, size, &why)) {
                ADD_FAILURE() << why;
                return;
            }
        }
        if (!root.empty() && (chroot(root.c_str()) != 0 || chdir("/") != 0)) {
            ADD_FAILURE() << "chroot " << root << ": " << std::strerror(errno);
            return;
        }
        body();
    });
}

inline mode_t modeOf(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

}  // namespace txntest
