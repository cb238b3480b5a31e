#pragma once
// The console of a run: the status line, the collected messages, quiet mode and
// the post-log that keeps the messages on flash.
#include <cstdarg>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "model/Reporter.h"

class TempRegistry;

constexpr const char* kPostLogPath = "/flash/postlog";
constexpr size_t kPostLogReserveSize = 4096;
constexpr size_t kMessageBufferSize = 256;
constexpr size_t kEraseWidth = 79;
constexpr size_t kProgressBarWidth = 77;

class Console : public Reporter {
public:
    // Writes to standard output until setOutput replaces the stream.
    Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    std::string status;
    std::vector<std::string> messages;
    bool quiet = false;
    bool postLogReserved = false;
    // Where the post-log's temporary file is recorded; none in tests.
    TempRegistry* temporaries = nullptr;

    std::ostream& out() override { return *out_; }
    void setOutput(std::ostream& stream) { out_ = &stream; }

    void setStatus(const std::string& text) override;
    void showProgress(const std::string& label, uint32_t position, uint32_t total) override;

    // The post-log is replaced whole through a temporary file and a rename, so
    // that an interrupted or failed write keeps the previous log; one that is
    // not a regular file is neither read nor written.
    void reservePostLog();
    void writePostLog();

protected:
    void report(const char* prefix, bool clearStatus, const char* format, va_list args) override;

private:
    bool replacePostLog(const std::string& content);

    std::ostream* out_;
};
