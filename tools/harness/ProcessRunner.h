#pragma once
// Runs a program with given arguments, standard input and environment, and
// collects its standard output, standard error and exit status.
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timedOut = false;
};

struct ProcessOptions {
    std::string input;
    // Variables besides PATH; the test's own environment is not passed on.
    std::map<std::string, std::string> environment;
    // When set, the child changes root here before running program (a path
    // inside that root).
    std::string chrootDirectory;
    // When set (and no chrootDirectory), the child starts in this directory.
    std::string workingDirectory;
    int timeoutSeconds = 120;
    // Standard output is read up to this many bytes, then its pipe is closed,
    // as a reader such as "head -c" does.
    size_t outputLimit = static_cast<size_t>(-1);
    // The child's standard output and error are closed before it starts.
    bool closeOutput = false;
};

// "status N", then what the program wrote on its standard output and error:
// for failure messages.
std::string describe(const ProcessResult& result);

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = ProcessOptions());

}  // namespace testsupport
