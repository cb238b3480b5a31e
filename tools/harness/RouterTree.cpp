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

std::string maskScratchNames(std::string text) {
    const size_t end = kTemporaryNameSize;
    for (size_t at = text.find("tmp"); at != std::string::npos; at = text.find("tmp", at + 3)) {
        bool scratch = at + end <= text.size() &&
                       std::all_of(text.begin() + at + 3, text.begin() + at + end,
                                   [](unsigned char c) { return std::isalnum(c); }) &&
                       (at + end == text.size() || !std::isalnum((unsigned char)text[at + end]));
        if (scratch) text.replace(at + 3, kUniqueSuffixSize, "??????");
    }
    return text;
}

}  // namespace harness
