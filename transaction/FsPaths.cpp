#include <errno.h>
#include <libgen.h>
#include <sys/stat.h>

#include <vector>

#include "transaction/FsTransaction.h"

std::string parentDirectory(const std::string& path) {
    // dirname may write into its argument, so it gets a private copy.
    std::vector<char> buffer(path.begin(), path.end());
    buffer.push_back('\0');
    return std::string(dirname(buffer.data()));
}

void makeDirectories(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return;
    std::string parent = parentDirectory(path);
    // "/" and "." are their own parents; stopping there ends the recursion on
    // paths that can never be made.
    if (parent == path) return;
    makeDirectories(parent);
    mkdir(path.c_str(), 0777);
}
