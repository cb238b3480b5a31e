#include "model/Reporter.h"

void Reporter::reportError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report("ERROR: ", true, format, args);
    va_end(args);
}

void Reporter::reportWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report("WARNING: ", false, format, args);
    va_end(args);
}

void Reporter::reportInfo(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report("", true, format, args);
    va_end(args);
}
