#include "e2e/FaultHarness.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace e2e {

Environment withPreload(Environment env, const std::string& preload,
                        const Environment& settings) {
    env["LD_PRELOAD"] = preload;
    for (const auto& [name, value] : settings) env[name] = value;
    return env;
}

std::string listingWithoutLeftovers(const RouterRoot& root, bool allowStreamImageCopy) {
    std::vector<std::string> temporaries = root.temporaryFiles();
    std::set<std::string> skipped(temporaries.begin(), temporaries.end());
    if (allowStreamImageCopy) skipped.insert(kStreamImageCopy);
    std::istringstream lines(routerListing(root));
    std::string line, kept;
    while (std::getline(lines, line))
        if (!skipped.count(line.substr(0, line.find(' ')))) kept += line + "\n";
    return kept;
}

std::vector<std::string> unrecordedLeftovers(const RouterRoot& root) {
    std::set<std::string> recorded;
    std::istringstream record(root.exists(kTemporaryRecord) ? root.read(kTemporaryRecord) : "");
    for (std::string line; std::getline(record, line);) recorded.insert(line);
    std::vector<std::string> leftovers = root.temporaryFiles();
    if (root.exists(kStreamImageCopy)) leftovers.push_back(kStreamImageCopy);
    std::vector<std::string> unrecorded;
    for (const std::string& path : leftovers) {
        std::string name = path.substr(path.rfind('/') + 1);
        bool bookkeeping = harness::isScratchName(name) && !harness::isTemporaryName(name);
        if (!bookkeeping && !recorded.count(path)) unrecorded.push_back(path);
    }
    return unrecorded;
}

std::vector<LoggedCall> readCallLog(const std::string& path) {
    std::vector<LoggedCall> calls;
    std::ifstream log(path);
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        long number = 0;
        LoggedCall call;
        fields >> number >> call.operation >> call.path;
        calls.push_back(call);
    }
    return calls;
}

SavedTree::SavedTree(const RouterRoot& root) {
    for (const std::string& dir : harness::routerDirectories()) copyTree(root.at(dir), saved_.path() + dir);
}

void SavedTree::restoreInto(const RouterRoot& root) const {
    restoreRouterTree(root, saved_.path());
}

}  // namespace e2e
