#pragma once
// Extraction of a package's compressed file container into staged temporary files.
#include <cstdint>
#include <optional>

#include "model/PackageRecord.h"
#include "package/PackageFormat.h"

class FsTransaction;
class Reporter;
class PartReader;

constexpr size_t kContainerCopyChunk = 16384;
// More regular files than this make a package broken: far beyond any real
// package, and a bound on what its staging holds in memory.
constexpr size_t kMaxContainerFiles = 65536;

bool extractFileContainer(Reporter& reporter, PackageRecord& record, FsTransaction& transaction,
                          PartReader& reader);
// The machine class that selects file variants; none on processors without one.
std::optional<int> machineClass();
// Target path of a container entry for the record.
std::string containerTargetPath(const PackageRecord& record, const std::string& entryName);
// A name is safe when it is not empty, has no byte below 0x21 and, after one
// optional leading "/", only components that are not empty, "." or "..".
bool isSafeEntryName(const std::string& name);
// Why a file could never be created at target (ENAMETOOLONG, or EISDIR for an
// existing directory), 0 when it can; *missing tells whether nothing at all is
// at target (no file, directory or link).
int targetPathError(const std::string& target, bool* missing = nullptr);
