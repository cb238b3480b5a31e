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
    // Walk up to the deepest ancestor that exists (or can be made), then make
    // each missing level below it once: no copies of the path per level, so a
    // deep path costs time and memory in proportion to its length.
    std::vector<char> buffer(path.begin(), path.end());
    buffer.push_back('\0');
    std::vector<size_t> cuts;
    size_t end = path.size();
    for (;;) {
        while (end > 0 && buffer[end - 1] == '/') --end;  // trailing slashes
        while (end > 0 && buffer[end - 1] != '/') --end;  // last component
        while (end > 1 && buffer[end - 1] == '/') --end;  // the slashes before it
        if (end == 0 || (end == 1 && buffer[0] == '/')) break;
        char saved = buffer[end];
        buffer[end] = '\0';
        int made = mkdir(buffer.data(), 0777);
        int error = errno;
        buffer[end] = saved;
        if (made == 0 || error == EEXIST) break;
        cuts.push_back(end);
    }
    for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) {
        char saved = buffer[*it];
        buffer[*it] = '\0';
        mkdir(buffer.data(), 0777);
        buffer[*it] = saved;
    }
    mkdir(path.c_str(), 0777);
}
