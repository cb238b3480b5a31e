#pragma once
// pkgtool: builds, signs, bundles, inspects and verifies installer packages.
// Every subcommand takes its arguments (after the subcommand's name) and the
// console to write to, and returns an ExitStatus (tools/PkgtoolCommon.h).
#include <string>
#include <vector>

#include "tools/PkgtoolCommon.h"

namespace pkgtool {

// The whole program: args are the arguments after the program name.
int runPkgtool(const std::vector<std::string>& args, const Console& console);

int runKeygen(const std::vector<std::string>& args, const Console& console);
int runPubkey(const std::vector<std::string>& args, const Console& console);
int runBuild(const std::vector<std::string>& args, const Console& console);
int runBundle(const std::vector<std::string>& args, const Console& console);
int runInspect(const std::vector<std::string>& args, const Console& console);
int runVerify(const std::vector<std::string>& args, const Console& console);

}  // namespace pkgtool
