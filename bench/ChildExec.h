#pragma once
// The child side of the benchmarks' runs: standard input from a file (or
// /dev/null), output discarded, then the program. Header-only: every benchmark
// program is a single source file.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace bench {

// Never returns: execs program, or ends the child with 126 (no input) or 127.
[[noreturn]] inline void execWithInput(const std::string& program,
                                       const std::vector<std::string>& args,
                                       const std::string& inputPath, bool searchPath) {
    int in = open(inputPath.empty() ? "/dev/null" : inputPath.c_str(), O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    close(in);
    close(out);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (searchPath)
        execvp(program.c_str(), argv.data());
    else
        execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace bench
