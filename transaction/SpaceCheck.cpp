#include <sys/stat.h>
#include <sys/statfs.h>

#include "transaction/TempFiles.h"

namespace {

uint64_t blocksFor(uint64_t size, uint32_t blockSize) {
    return (blockSize - 1 + size) / blockSize;
}

void credit(FsUsage& usage, const std::string& path) {
    if (!startsWith(path, usage.path)) return;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    usage.freeBlocks +=
        static_cast<int64_t>(blocksFor(static_cast<uint64_t>(st.st_size), usage.blockSize));
}

void debit(FsUsage& usage, const std::string& source, const std::string& target) {
    if (!startsWith(target, usage.path)) return;
    struct stat sourceStat;
    if (stat(source.c_str(), &sourceStat) == 0) {
        struct stat targetStat;
        // A rename within one file system neither takes nor frees blocks.
        if (stat(target.c_str(), &targetStat) == 0 && targetStat.st_dev == sourceStat.st_dev)
            return;
        usage.freeBlocks -= static_cast<int64_t>(
            blocksFor(static_cast<uint64_t>(sourceStat.st_size), usage.blockSize));
    }
    // The file the move replaces gives its blocks back.
    credit(usage, target);
}

}  // namespace

bool startsWith(const std::string& path, const std::string& mountPath) {
    return path.size() >= mountPath.size() && path.compare(0, mountPath.size(), mountPath) == 0;
}

FsUsage usageAfter(const FsTransaction& transaction, const std::string& mountPath) {
    FsUsage usage{mountPath, 1, 0};
    struct statfs fs;
    if (statfs(mountPath.c_str(), &fs) == 0) {
        // a zero block size would make every credit a division by zero
        if (fs.f_bsize > 0) usage.blockSize = static_cast<uint32_t>(fs.f_bsize);
        usage.freeBlocks = static_cast<int64_t>(fs.f_bfree);
    }
    for (const auto& [target, entry] : transaction.entries) {
        switch (entry.kind) {
            case FsEntryKind::Remove:
                credit(usage, target);
                break;
            case FsEntryKind::Move:
            case FsEntryKind::NewFile:
                debit(usage, entry.source, target);
                break;
            case FsEntryKind::Link:
                break;
        }
    }
    return usage;
}

bool checkSpace(const FsTransaction& transaction) {
    FsUsage boot = usageAfter(transaction, kBootMount);
    FsUsage flash = usageAfter(transaction, kFlashMount);
    return boot.freeBlocks > kMinimumFreeBlocks && flash.freeBlocks > kMinimumFreeBlocks;
}
