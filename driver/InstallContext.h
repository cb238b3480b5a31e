#pragma once
// The run's state and all of its reporting: the package list, the status line,
// the collected messages, quiet mode and the post-log. One per process.
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "database/PackageRecord.h"

class TempRegistry;

constexpr const char* kPostLogPath = "/flash/postlog";
constexpr size_t kPostLogReserveSize = 4096;
constexpr size_t kMessageBufferSize = 256;
constexpr size_t kEraseWidth = 79;
constexpr size_t kProgressBarWidth = 77;

class InstallContext {
public:
    // The process-wide context, created empty on first use and never released.
    static InstallContext& instance();

    // Tests make their own contexts; the program uses instance().
    InstallContext();
    ~InstallContext();
    InstallContext(const InstallContext&) = delete;
    InstallContext& operator=(const InstallContext&) = delete;

    std::string architecture;
    // known packages in load order; the context owns them
    std::vector<std::unique_ptr<PackageRecord>> packages;
    std::string status;
    std::vector<std::string> messages;
    bool quiet = false;
    bool postLogReserved = false;
    // Where the post-log's temporary file is recorded; none in tests.
    TempRegistry* temporaries = nullptr;

    // Every byte of console output goes through this stream (standard output
    // unless a test replaces it).
    std::ostream& out() { return *out_; }
    void setOutput(std::ostream& stream) { out_ = &stream; }

    void setStatus(const std::string& text);
    void showProgress(const std::string& label, uint32_t position, uint32_t total);
    void reportError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void reportWarning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void reportInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The post-log is replaced whole through a temporary file and a rename, so
    // that an interrupted or failed write keeps the previous log; one that is
    // not a regular file is neither read nor written.
    void reservePostLog();
    void writePostLog();

    // Takes the record out of the package list and returns it (null when absent).
    std::unique_ptr<PackageRecord> release(const PackageRecord* record);
    PackageRecord* append(std::unique_ptr<PackageRecord> record);

private:
    bool replacePostLog(const std::string& content);
    void report(const char* prefix, bool clearStatus, const char* format, va_list args);

    std::ostream* out_;
};
