#include "model/Console.h"

#include <cstdarg>
#include <cstdio>
#include <iostream>

#include "platform/StopSignals.h"

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
