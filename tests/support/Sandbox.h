#pragma once
// The scratch-tree harness, and code run in a forked child whose gtest
// failures count for the test.
#include <functional>
#include <string>

#include "tools/harness/Sandbox.h"

namespace testsupport {

// Runs body in a forked child; the child's gtest failures turn into a nonzero
// exit status. Returns the child's exit status (or 128 + signal).
int runInChild(const std::function<void()>& body);
// Same, after chroot(root) and chdir("/") in the child (the installer's paths
// are absolute).
int runChrooted(const std::string& root, const std::function<void()>& body);

}  // namespace testsupport
