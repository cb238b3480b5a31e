#pragma once
// Temporary files staged as NewFile entries, and the free-space check that runs
// before a commit.
#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <string>

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
};

// A fresh temporary file staged to become target: on the target's own file
// system when it has room for the size hint plus a tenth, else in "/ram". A hint
// of 0 always means "/ram". Failures are not reported; the stream is then bad.
std::ofstream createFile(FsTransaction& transaction, const std::string& target, uint32_t sizeHint,
                         mode_t mode);
// Whether a file system with the given free blocks holds sizeHint bytes plus a
// tenth with room to spare (strictly more free bytes than that).
bool hasRoomFor(uint64_t sizeHint, uint64_t blockSize, uint64_t freeBlocks);

// Free blocks of mountPath after the transaction: removals credit the files they
// delete, moves debit their sources and credit the files they replace, a rename
// within one device changes nothing. Paths count by byte prefix.
FsUsage usageAfter(const FsTransaction& transaction, const std::string& mountPath);
// True when both "/flash/boot" and "/flash" keep more than 16 free blocks.
bool checkSpace(const FsTransaction& transaction);
// Byte prefix test: "/flashx" starts with "/flash" too.
bool startsWith(const std::string& path, const std::string& mountPath);
