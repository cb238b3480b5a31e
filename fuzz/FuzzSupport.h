#pragma once
// Shared pieces of the fuzz targets and the seed writer: a private root to
// change into, tree helpers inside it, a discarding output stream, a source
// that cannot seek, and the input layouts of the targets that take more than
// one file from a single fuzz input.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "planning/VersionNumber.h"

namespace fuzzsupport {

// Room for what a run may extract; a full root is itself a case worth reaching.
constexpr const char* kRootTmpfsOptions = "size=64m,mode=0755";
// Where the private roots are made; scripts/fuzz.sh points it into its build
// directory so that it can clear what crashed runs leave behind.
constexpr const char* kRootParentVariable = "INSTALLER_FUZZ_ROOTS";

// Creates a fresh directory, mounts a small tmpfs on it in a private mount
// namespace when the system allows (else it stays a plain directory), mounts a
// read-only /proc inside for the leak checker, changes root into it and makes
// "/flash/var/pdb", "/ram" and "/rw". Exits the process when the change of root
// fails: a target that would write into the real root must not run.
void enterPrivateRoot();

// Removes everything below "/" except "/proc", then remakes the base directories.
void resetRoot();
// Sorted "type path size" lines of every entry below "/" except "/proc".
std::string treeListing();

void writeFile(const std::string& path, const std::string& content);
// Recursively removes path (a file, link or directory); missing is fine.
void removeTree(const std::string& path);
void makeDirs(const std::string& path);

// FNV-1a, for deterministic per-input choices.
uint32_t inputHash(const uint8_t* data, size_t size);

// Reports the broken expectation on standard error and aborts, so that libFuzzer
// records the input as a crash.
[[noreturn]] void expectationFailed(const char* what, const std::string& detail);

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
