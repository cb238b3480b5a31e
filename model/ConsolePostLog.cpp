// The console's post-log: the run's messages kept on flash.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "model/Console.h"
#include "platform/FileInput.h"
#include "platform/FileOutput.h"
#include "transaction/FsTransaction.h"
#include "transaction/TempRegistry.h"

namespace {

constexpr mode_t kPostLogMode = 0666;

// Missing, or a regular file: anything else (a FIFO, a directory) is left alone.
bool isPostLogUsable() {
    struct stat st;
    return stat(kPostLogPath, &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
}

}  // namespace

void Console::reservePostLog() {
    postLogReserved = true;
    if (!isPostLogUsable()) return;
    std::string old;
    if (readWholeFile(kPostLogPath, old) == OpenResult::Opened) {
        // A final line without a line feed (a leftover zero block, say) is
        // dropped.
        size_t start = 0;
        for (size_t end; (end = old.find('\n', start)) != std::string::npos; start = end + 1)
            messages.push_back(old.substr(start, end - start));
    }
    // The old lines stay readable ahead of the reserved block until the run's
    // own log replaces them.
    std::string content;
    for (const std::string& line : messages) content += line + '\n';
    content.append(kPostLogReserveSize, '\0');
    replacePostLog(content);
}

void Console::writePostLog() {
    if (!postLogReserved && messages.empty()) return;
    if (!isPostLogUsable()) return;
    std::string content;
    // Appending means keeping every byte of the old log: one that cannot be
    // read is better left as it is than replaced by the new lines alone.
    if (!postLogReserved && readWholeFile(kPostLogPath, content) == OpenResult::Unreadable) return;
    ::sync();
    for (const std::string& line : messages) content += line + '\n';
    replacePostLog(content);
}

bool Console::replacePostLog(const std::string& content) {
    TempRegistry unrecorded;
    TempRegistry& registry = temporaries != nullptr ? *temporaries : unrecorded;
    std::string tempPath;
    int fd = registry.createUnique(parentDirectory(kPostLogPath) + "/tmp", kPostLogMode, tempPath);
    if (fd < 0) return false;
    OutputFile out;
    out.attach(fd);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    bool written = out.close(true) && rename(tempPath.c_str(), kPostLogPath) == 0;
    if (written || unlink(tempPath.c_str()) == 0) registry.forget(tempPath);
    return written;
}
