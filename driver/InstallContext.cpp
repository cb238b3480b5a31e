#include "driver/InstallContext.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iostream>

InstallContext& InstallContext::instance() {
    // Deliberately leaked: the context must outlive every static destructor that
    // might still report.
    static InstallContext* context = new InstallContext();
    return *context;
}

InstallContext::InstallContext() : out_(&std::cout) {}

InstallContext::~InstallContext() = default;

void InstallContext::setStatus(const std::string& text) {
    if (quiet) return;
    if (text == status) return;
    std::ostream& o = out();
    o << "\x1b[?25l\r" << text;
    if (status.size() > text.size()) o << std::string(status.size() - text.size(), ' ');
    o << "\r\x1b[?25h";
    o.flush();
    status = text;
}

void InstallContext::showProgress(const std::string& label, uint32_t position, uint32_t total) {
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

void InstallContext::report(const char* prefix, bool clearStatus, const char* format,
                            va_list args) {
    if (clearStatus) setStatus(std::string());
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

void InstallContext::reportError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report("ERROR: ", true, format, args);
    va_end(args);
}

void InstallContext::reportWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report("WARNING: ", false, format, args);
    va_end(args);
}

void InstallContext::reportInfo(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report("", true, format, args);
    va_end(args);
}

void InstallContext::reservePostLog() {
    {
        std::ifstream old(kPostLogPath, std::ios::binary);
        if (old.is_open()) {
            std::string line;
            // std::getline sets eof on a final line without a line feed; such a
            // line (a leftover zero block, say) is dropped.
            while (std::getline(old, line) && !old.eof()) messages.push_back(line);
        }
    }
    {
        std::ofstream reserve(kPostLogPath, std::ios::binary | std::ios::trunc);
        if (reserve.is_open()) {
            std::string zeros(kPostLogReserveSize, '\0');
            reserve.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
        }
    }
    postLogReserved = true;
}

void InstallContext::writePostLog() {
    if (!postLogReserved && messages.empty()) return;
    std::ofstream log(kPostLogPath, std::ios::binary | (postLogReserved ? std::ios::trunc
                                                                         : std::ios::app));
    ::sync();
    if (!log.is_open()) return;
    for (const std::string& line : messages) log << line << '\n';
}

std::unique_ptr<PackageRecord> InstallContext::release(const PackageRecord* record) {
    auto it = std::find_if(packages.begin(), packages.end(),
                           [record](const std::unique_ptr<PackageRecord>& p) {
                               return p.get() == record;
                           });
    if (it == packages.end()) return nullptr;
    std::unique_ptr<PackageRecord> owned = std::move(*it);
    packages.erase(it);
    return owned;
}

PackageRecord* InstallContext::append(std::unique_ptr<PackageRecord> record) {
    packages.push_back(std::move(record));
    return packages.back().get();
}
