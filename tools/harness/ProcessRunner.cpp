#include "tools/harness/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {

void closeBoth(int fds[2]) {
    close(fds[0]);
    close(fds[1]);
}

long long nowMillis() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::string describe(const ProcessResult& result) {
    return "status " + std::to_string(result.status) + "\nstdout: " + result.out +
           "\nstderr: " + result.err;
}

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe(in) != 0) return result;
    if (pipe(out) != 0) {
        closeBoth(in);
        return result;
    }
    if (pipe(err) != 0) {
        closeBoth(in);
        closeBoth(out);
        return result;
    }
    std::vector<std::string> envStrings = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    for (const auto& [name, value] : options.environment) envStrings.push_back(name + "=" + value);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        closeBoth(in);
        closeBoth(out);
        closeBoth(err);
        if (options.closeOutput) {
            close(1);
            close(2);
        }
        if (!options.chrootDirectory.empty() &&
            (chroot(options.chrootDirectory.c_str()) != 0 || chdir("/") != 0)) {
            std::string message = std::string("runner chroot: ") + std::strerror(errno) + "\n";
            (void)!write(2, message.data(), message.size());
            _exit(126);
        }
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    size_t written = 0;
    bool inputOpen = true;
    if (options.input.empty()) {
        close(in[1]);
        inputOpen = false;
    }
    bool outOpen = true, errOpen = true;
    if (options.outputLimit == 0) {
        close(out[0]);
        out[0] = -1;
        outOpen = false;
    }
    long long deadline = nowMillis() + options.timeoutSeconds * 1000LL;
    char buffer[65536];
    while (outOpen || errOpen) {
        pollfd fds[3];
        int count = 0;
        int outIndex = -1, errIndex = -1, inIndex = -1;
        if (outOpen) {
            fds[count] = {out[0], POLLIN, 0};
            outIndex = count++;
        }
        if (errOpen) {
            fds[count] = {err[0], POLLIN, 0};
            errIndex = count++;
        }
        if (inputOpen) {
            fds[count] = {in[1], POLLOUT, 0};
            inIndex = count++;
        }
        long long left = deadline - nowMillis();
        if (left <= 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        int ready = poll(fds, count, static_cast<int>(left < 1000 ? left : 1000));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (inIndex >= 0 && (fds[inIndex].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in[1], options.input.data() + written, options.input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) written = options.input.size();
            if (written >= options.input.size()) {
                close(in[1]);
                inputOpen = false;
            }
        }
        if (outIndex >= 0 && (fds[outIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
            size_t room = options.outputLimit - result.out.size();
            ssize_t n = read(out[0], buffer, room < sizeof buffer ? room : sizeof buffer);
            if (n > 0) result.out.append(buffer, static_cast<size_t>(n));
            if (n <= 0 || result.out.size() >= options.outputLimit) {
                outOpen = false;
                close(out[0]);
                out[0] = -1;
            }
        }
        if (errIndex >= 0 && (fds[errIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = read(err[0], buffer, sizeof buffer);
            if (n > 0)
                result.err.append(buffer, static_cast<size_t>(n));
            else
                errOpen = false;
        }
    }
    if (inputOpen) close(in[1]);
    if (out[0] >= 0) close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace testsupport
