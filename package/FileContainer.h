#pragma once
// Extraction of a package's compressed file container into staged temporary files.
#include <cstdint>
#include <optional>

#include "database/PackageRecord.h"

class FsTransaction;
class PartReader;

constexpr size_t kContainerEntryHeaderSize = 30;
constexpr size_t kContainerCopyChunk = 16384;
constexpr uint16_t kModeTypeMask = 0xF000;
constexpr uint16_t kModeRegularFile = 0x8000;

bool extractFileContainer(PackageRecord& record, FsTransaction& transaction, PartReader& reader);
// The machine class that selects file variants; none on processors without one.
std::optional<int> machineClass();
// Target path of a container entry for the record.
std::string containerTargetPath(const PackageRecord& record, const std::string& entryName);
// A name is safe when it is not empty, has no ".." component and no byte below 0x21.
bool isSafeEntryName(const std::string& name);
