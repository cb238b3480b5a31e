#pragma once
// What the benchmark programs share: a clock, package contents deflate cannot
// shrink, and the child side of their runs. Header-only: every benchmark
// program is a single source file.
#include <fcntl.h>
#include <sys/ptrace.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

inline double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Pseudo-random bytes: deflate cannot shrink them. The same seed gives the same
// bytes.
inline void fillIncompressible(std::string& bytes, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull | 1u;
    for (size_t at = 0; at < bytes.size(); at += sizeof x) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&bytes[at], &x, std::min(sizeof x, bytes.size() - at));
    }
}

struct ChildOptions {
    bool searchPath = false;   // look the program up in PATH
    bool keepStderr = false;   // leave standard error to the console
    bool traceExit = false;    // stop at exit for a tracing parent (PTRACE_TRACEME)
};

// Never returns: execs program with standard input from inputPath (or
// /dev/null) and output discarded, or ends the child with 125 (no trace), 126
// (no input) or 127.
[[noreturn]] inline void execWithInput(const std::string& program,
                                       const std::vector<std::string>& args,
                                       const std::string& inputPath,
                                       const ChildOptions& options = ChildOptions()) {
    int in = open(inputPath.empty() ? "/dev/null" : inputPath.c_str(), O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    if (!options.keepStderr) dup2(out, 2);
    close(in);
    close(out);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (options.traceExit && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(125);
    if (options.searchPath)
        execvp(program.c_str(), argv.data());
    else
        execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace bench
