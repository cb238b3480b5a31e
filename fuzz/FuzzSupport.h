#pragma once
// Shared pieces of the fuzz targets and the seed writer: file helpers, a
// discarding output stream, a source that cannot seek, and the input layouts of
// the targets that take more than one file from a single fuzz input.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "model/VersionNumber.h"

class InstallContext;

namespace fuzzsupport {

// When set, the installer's console output goes to standard error, for looking
// at what one input does; otherwise it is discarded.
constexpr const char* kVerboseVariable = "INSTALLER_FUZZ_VERBOSE";

void writeFile(const std::string& path, const std::string& content);
void makeDirs(const std::string& path);

// Empties the context's package list, messages and status, releasing their
// memory so that a run ends with what it started with, and makes it report.
void resetContext(InstallContext& context);

// FNV-1a, for deterministic per-input choices.
uint32_t inputHash(const uint8_t* data, size_t size);

// Reports the broken expectation on standard error and aborts, so that libFuzzer
// records the input as a crash.
[[noreturn]] void expectationFailed(const char* what, const std::string& detail);

bool verbose();
// Where the install context writes during a run (see kVerboseVariable).
std::ostream& consoleOutput();

class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class NullStream : public std::ostream {
public:
    NullStream() : std::ostream(&buffer_) {}

private:
    NullBuffer buffer_;
};

// Serves bytes like a pipe: reading and putting back within what was read work,
// seeking does not.
class PipeBuffer : public std::streambuf {
public:
    PipeBuffer(const uint8_t* data, size_t size) {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(begin, begin, begin + size);
    }
};

// Input layout of the database target: records of
//   tag (1 byte), length (2 bytes, little-endian), content (length bytes)
// where tag % 16 picks the file (DatabaseSlot) and tag / 16 % 4 the package.
enum DatabaseSlot : uint8_t {
    kSlotVersion = 0,
    kSlotDeps = 1,
    kSlotProvides = 2,
    kSlotConflicts = 3,
    kSlotBundle = 4,
    kSlotFiles = 5,
    kSlotDisabled = 6,
    kSlotEnabled = 7,
    kSlotImage = 8,
    kSlotSchedule = 9,
    kSlotImageDirectory = 10,  // "/rw/pckg/.images/" + name
    kSlotEmptyDirectory = 11,  // the package directory alone
    kSlotBootImage = 12,       // "image" links to "/flash/bootimage", which holds the content
    kSlotCount = 13,
};
constexpr size_t kDatabaseRecordHeaderSize = 3;
constexpr size_t kDatabasePackageCount = 4;
// The last one begins with a dot, which the scan must pass over.
extern const char* const kDatabasePackageNames[kDatabasePackageCount];

struct DatabaseRecord {
    DatabaseSlot slot;
    size_t package;
    std::string content;
};

std::vector<DatabaseRecord> decodeDatabaseInput(const uint8_t* data, size_t size);
std::string encodeDatabaseInput(const std::vector<DatabaseRecord>& records);
// Writes one record into the tree below the current root.
void writeDatabaseRecord(const DatabaseRecord& record);

// Input layout of the part reader target: one control byte, then the package.
constexpr uint8_t kReaderHashing = 1;
constexpr uint8_t kReaderCopy = 2;
constexpr uint8_t kReaderPipe = 4;  // the source cannot seek
// Bits 3 and 4 pick the accepted types, the upper three seed the operations.
constexpr unsigned kReaderTypesShift = 3;
constexpr unsigned kReaderScriptShift = 5;

// The installed set the stream install target starts every run from.
struct InstalledPackage {
    std::string name;
    VersionNumber version;
    uint32_t buildTime;
    std::string deps;       // "deps" file content
    std::string conflicts;  // "conflicts" file content
    std::string file;       // one installed file below "/flash/"
};
std::vector<InstalledPackage> installedTemplate();
// Writes the template's database entries and files below the current root.
void writeInstalledTemplate();

}  // namespace fuzzsupport
