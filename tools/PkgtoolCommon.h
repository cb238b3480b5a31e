#pragma once
// What every pkgtool subcommand shares: exit statuses, error reporting, hex
// text, key files and output files that appear only when complete.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace pkgtool {

// Exit statuses; scripts rely on them, so the values never change.
enum ExitStatus : int {
    kExitOk = 0,
    kExitBadPackage = 1,  // verification failed, or the input is not a valid package
    kExitUsage = 2,       // unknown option, missing or invalid argument
    kExitIo = 3,          // a file could not be read or written, or a key file is malformed
    kExitTooLarge = 4,    // the input cannot be represented in the package format
};

// The streams a subcommand writes to; the program passes standard output and
// standard error, tests pass string streams.
struct Console {
    std::ostream& out;
    std::ostream& err;
    // "pkgtool: error: " + message + newline on err; returns status.
    int fail(int status, const std::string& message) const;
    void warn(const std::string& message) const;
};

std::string toHex(const std::string& bytes);
// Exactly 2 * size hex digits (either case); false otherwise.
bool fromHex(const std::string& text, size_t size, std::string& bytes);

// Reads a whole file; false with the system's reason.
bool readWholeFile(const std::string& path, std::string& content, std::string* why);

// Writes content under a temporary name in the target's directory and renames
// it into place, so the target is either untouched or complete. With
// exclusive, an existing target is never replaced (the file is linked into
// place instead of renamed). The file gets mode less the process's umask.
bool writeFileAtomically(const std::string& path, const std::string& content, unsigned mode,
                         bool exclusive, std::string* why);

// Key file: the 32 secret key bytes as 64 lowercase hex digits, byte 0 first,
// then a newline. Trailing white space is ignored when reading.
std::string keyFileText(const std::string& secretKey);
bool parseKeyFile(const std::string& text, std::string& secretKey);

// Public keys as written on the command line: 64 hex digits each, several
// separated by commas.
bool parsePublicKeyList(const std::string& text, std::vector<std::string>& keys, std::string* why);

// "pkgtool: error: WHY; see "pkgtool COMMAND --help"", status kExitUsage.
int usageError(const Console& console, const std::string& command, const std::string& why);

// Seconds since 1970 as a decimal 0..4294967295, digits only.
bool parseSeconds(const std::string& text, uint32_t& seconds);

}  // namespace pkgtool
