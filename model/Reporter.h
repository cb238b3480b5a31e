#pragma once
// What the installer says while it works: the status line, progress and the
// error, warning and information messages. Code that reports is handed one.
#include <cstdarg>
#include <cstdint>
#include <ostream>
#include <string>

class Reporter {
public:
    virtual ~Reporter() = default;

    // Every byte of console output goes through this stream.
    virtual std::ostream& out() = 0;
    virtual void setStatus(const std::string& text) = 0;
    virtual void showProgress(const std::string& label, uint32_t position, uint32_t total) = 0;

    void reportError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void reportWarning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void reportInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));

protected:
    // One message: prefix, then the formatted text; clearStatus takes the status
    // line away first.
    virtual void report(const char* prefix, bool clearStatus, const char* format, va_list args) = 0;
};
