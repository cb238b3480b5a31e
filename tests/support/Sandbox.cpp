#include "support/Sandbox.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace testsupport {

int runInChild(const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        body();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

int runChrooted(const std::string& root, const std::function<void()>& body) {
    return runInChild([&] {
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
            ADD_FAILURE() << "chroot " << root << ": " << std::strerror(errno);
            return;
        }
        body();
    });
}

}  // namespace testsupport
