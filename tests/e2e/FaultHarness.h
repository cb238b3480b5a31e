#pragma once
// Runs of the built installer under the preloaded fault_injection library, and
// the router trees they are judged by: shared by the interruption, fault and
// signal sweeps.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/Sandbox.h"
#include "tools/harness/RouterRoot.h"
#include "tools/harness/RouterTree.h"

namespace e2e {

using Environment = std::map<std::string, std::string>;

constexpr char kStreamImageCopy[] = "/flash/var/pdb/image";
constexpr char kTemporaryRecord[] = "/flash/var/pdb/.temporaries";
constexpr char kPreloadInside[] = "/libfault_injection.so";

// env with the library preloaded and the variables it reads.
Environment withPreload(Environment env, const std::string& preload,
                        const Environment& settings);

// The router's directories as listed (post-log aside), without temporary files
// and their record, and, when allowed, without the stream install's copy.
std::string listingWithoutLeftovers(const RouterRoot& root, bool allowStreamImageCopy);
// Temporary files left in the tree that the record of temporary files does not
// name, so that no later run would ever delete them.
std::vector<std::string> unrecordedLeftovers(const RouterRoot& root);

// Numbered lines "<n> <operation> <path>" the library logged, as operation and
// path.
struct LoggedCall {
    std::string operation;
    std::string path;
};
std::vector<LoggedCall> readCallLog(const std::string& path);

// The router's directories saved once, to be put back before every run.
class SavedTree {
public:
    explicit SavedTree(const RouterRoot& root);
    void restoreInto(const RouterRoot& root) const;

private:
    testsupport::TempDir saved_;
};

}  // namespace e2e
