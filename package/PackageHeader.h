#pragma once
// Parsing of package header and metadata parts, and loading of package files
// found on disk.
#include <string>
#include <vector>

#include "model/PackageRecord.h"
#include "package/PartReader.h"

// A text part (architecture, description, note, auxiliary text) longer than
// this makes the package broken: real texts are a few hundred bytes, and the
// whole text is held in memory.
constexpr uint32_t kMaxTextPartSize = 65536;

enum class PackageKind { Regular, Unrecorded };

// A package file found on disk.
class PackageFile : public PackageInfo {
public:
    std::string path;
    uint32_t expectedSize = 0;
    PackageKind kind = PackageKind::Regular;
};

// The name stored in a fixed 16-byte field: up to the first zero byte.
std::string nameFromField(const uint8_t* field);

// Fills target from the header part the reader stands on and the metadata parts
// after it. On return the reader stands on the first part after the metadata
// (or on the image part). brokenText, when given, tells a failure that came from
// a text part too long or cut short (the name is known by then).
bool parsePackageHeader(PackageInfo& target, PartReader& reader, bool* brokenText = nullptr);
bool readDependencyList(PartReader& reader, std::vector<PackageRange>& list);
// False for anything that is no complete, well-formed package file; ioError,
// when given, tells a regular file that could not be opened or read (a fault of
// the flash, not of the file).
bool loadPackageFile(PackageFile& file, const std::string& path, bool* ioError = nullptr);
