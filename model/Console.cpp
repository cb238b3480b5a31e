#include "model/Console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <iostream>

#include "platform/FileInput.h"
#include "platform/FileOutput.h"
#include "platform/StopSignals.h"
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

Console::Console() : out_(&std::cout) {}

void Console::setStatus(const std::string& text) {
    if (quiet) return;
    if (text == status) return;
    std::ostream& o = out();
    o << "\x1b[?25l\r" << text;
    if (status.size() > text.size()) o << std::string(status.size() - text.size(), ' ');
    o << "\r\x1b[?25h";
    o.flush();
    status = text;
}

void Console::showProgress(const std::string& label, uint32_t position, uint32_t total) {
    std::string bar = label + " [";
    // A label longer than the bar leaves no room for marks; a position past the
    // total, or a total of 0 from a damaged header, draws a full bar instead of
    // dividing by zero or overrunning.
    size_t width = bar.size() < kProgressBarWidth - 1 ? kProgressBarWidth - 1 - bar.size() : 0;
    uint64_t filled;
    if (total == 0 || position >= total)
        filled = width;
    else
        filled = static_cast<uint64_t>(position) * width / total;
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(width - static_cast<size_t>(filled), ' ');
    bar += ']';
    setStatus(bar);
}

void Console::report(const char* prefix, bool clearStatus, const char* format, va_list args) {
    if (clearStatus) setStatus(std::string());
    // A run that was asked to stop fails on its way out; what that failure
    // would say is not what happened.
    if (stopSignal() != 0) return;
    char buffer[kMessageBufferSize] = "";  // stays empty if formatting fails
    std::vsnprintf(buffer, sizeof buffer, format, args);
    if (quiet) return;
    std::string line = std::string(prefix) + buffer;
    std::ostream& o = out();
    if (!status.empty()) {
        o << '\r' << std::string(kEraseWidth, ' ') << '\r';
        o.flush();
    }
    o << line << '\n';
    if (!status.empty()) o << status;
    o.flush();
    messages.push_back(std::move(line));
}

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
