#pragma once
// Running pkgtool in tests: the built binary for what scripts see (statuses,
// messages, environment), the same code in-process where many runs are needed.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/harness/ProcessRunner.h"
#include "support/Sandbox.h"
#include "tools/Pkgtool.h"

namespace pkgtooltest {

inline testsupport::ProcessResult runBinary(const std::vector<std::string>& args,
                                            const std::map<std::string, std::string>& env = {}) {
    testsupport::ProcessOptions options;
    options.environment = env;
    return testsupport::runProgram(PKGTOOL_BINARY, args, options);
}

struct InProcessResult {
    int status;
    std::string out;
    std::string err;
};

inline InProcessResult runInProcess(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    pkgtool::Console console{out, err};
    int status = pkgtool::runPkgtool(args, console);
    return {status, out.str(), err.str()};
}

// bin/tool (0755), etc/conf (0640), an empty directory, a symbolic link.
inline void makeSampleTree(const std::string& root) {
    testsupport::makeDirs(root + "/bin");
    testsupport::makeDirs(root + "/etc/empty");
    testsupport::writeFile(root + "/bin/tool", "#!/bin/sh\necho tool\n", 0755);
    testsupport::writeFile(root + "/etc/conf", "key=value\n", 0640);
    ::chmod((root + "/bin/tool").c_str(), 0755);
    ::chmod((root + "/etc/conf").c_str(), 0640);
    ::symlink("../bin/tool", (root + "/etc/link").c_str());
}

inline bool fileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace pkgtooltest
