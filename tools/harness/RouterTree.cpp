#include "tools/harness/RouterTree.h"

#include <algorithm>
#include <cctype>

namespace harness {

namespace {

// "tmp" and the six characters mkstemp fills in
constexpr size_t kTemporaryNameSize = 9;
constexpr size_t kUniqueSuffixSize = 6;

}  // namespace

const std::vector<std::string>& routerBaseDirectories() {
    static const std::vector<std::string> dirs = {"/flash/var/pdb", "/ram", "/rw"};
    return dirs;
}

const std::vector<std::string>& routerDirectories() {
    static const std::vector<std::string> dirs = {"/flash", "/ram", "/rw"};
    return dirs;
}

bool isScratchName(const std::string& name) {
    return name == ".temporaries" || name == ".temporaries.new" || name == "installer.lock" ||
           isTemporaryName(name);
}

bool isTemporaryName(const std::string& name) {
    if (name.size() == kTemporaryNameSize && name.compare(0, 3, "tmp") == 0) return true;
    return name.size() > kUniqueSuffixSize + 2 && name[name.size() - kUniqueSuffixSize - 1] == '.' &&
           std::all_of(name.end() - kUniqueSuffixSize, name.end(),
                       [](unsigned char c) { return std::isalnum(c); });
}

}  // namespace harness
