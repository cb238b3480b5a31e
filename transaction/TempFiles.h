#pragma once
// Temporary files staged as NewFile entries, and the free-space check that runs
// before a commit.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/FileOutput.h"
#include "transaction/FsTransaction.h"

constexpr const char* kRamDirectory = "/ram";
constexpr const char* kBootMount = "/flash/boot";
constexpr const char* kFlashMount = "/flash";
constexpr int64_t kMinimumFreeBlocks = 16;

// Free space of one mount path as the transaction would leave it.
struct FsUsage {
    std::string path;
    uint32_t blockSize;  // 1 when the mount path cannot be examined
    int64_t freeBlocks;  // blocks free to the superuser, then adjusted per entry
    // the fewest free blocks at any moment of the commit: a move across file
    // systems is a copy that needs its room while the file it replaces exists
    int64_t lowestFreeBlocks;
    bool missing;  // the mount path does not exist
};

// How checkSpace treats a mount path that does not exist: the upgrade run
// counts it as full, the stream install (a router without a separate boot file
// system) as nothing to check.
enum class MissingMount { Fails, Passes };

// A fresh temporary file staged to become target, opened as out: on the
// target's own file system when it has room for the size hint plus a tenth,
// else in "/ram"; a hint of 0 always means "/ram". Its permission bits are mode
// (0600 for a mode of 0), set at creation. False with errno set, nothing
// staged and out not open, when the file cannot be made (kept in the
// transaction as a write failure).
bool createFile(FsTransaction& transaction, const std::string& target, uint32_t sizeHint,
                mode_t mode, OutputFile& out);
// createFile, then content written and the file closed. A failure (errno set)
// is also kept in the transaction, for writers that report to nobody.
bool writeStagedFile(FsTransaction& transaction, const std::string& target, uint32_t sizeHint,
                     mode_t mode, const std::string& content);
// Whether a file system with the given free blocks holds sizeHint bytes plus a
// tenth with room to spare (strictly more free bytes than that).
bool hasRoomFor(uint64_t sizeHint, uint64_t blockSize, uint64_t freeBlocks);

// Free blocks of mountPath after the transaction, and at its lowest during the
// commit: removals (applied first) credit the files they delete, moves debit
// their sources and credit the files they replace, a rename within one device
// changes nothing. Paths count by byte prefix.
FsUsage usageAfter(const FsTransaction& transaction, const std::string& mountPath);
// True when both "/flash/boot" and "/flash" keep more than 16 free blocks at
// every moment of the commit.
bool checkSpace(const FsTransaction& transaction, MissingMount missing = MissingMount::Fails);
// Byte prefix test: "/flashx" starts with "/flash" too.
bool startsWith(const std::string& path, const std::string& mountPath);
