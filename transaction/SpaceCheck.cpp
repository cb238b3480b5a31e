#include <errno.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>

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

void debit(FsUsage& usage, const FsEntry& entry, const std::string& target) {
    if (!startsWith(target, usage.path)) return;
    if (entry.newFileSize >= 0) {
        // A file this run wrote whole for a new path: a source of known size
        // that replaces nothing, as stat would tell.
        usage.freeBlocks -= static_cast<int64_t>(
            blocksFor(static_cast<uint64_t>(entry.newFileSize), usage.blockSize));
        return;
    }
    struct stat sourceStat;
    struct stat targetStat;
    bool replaces = stat(target.c_str(), &targetStat) == 0;
    if (stat(entry.source.c_str(), &sourceStat) == 0) {
        // A rename within one file system neither takes nor frees blocks.
        if (replaces && targetStat.st_dev == sourceStat.st_dev) return;
        usage.freeBlocks -= static_cast<int64_t>(
            blocksFor(static_cast<uint64_t>(sourceStat.st_size), usage.blockSize));
        // Across file systems the move is a copy made beside the target while
        // the file it replaces still holds its blocks.
        if (replaces) usage.lowestFreeBlocks = std::min(usage.lowestFreeBlocks, usage.freeBlocks);
    }
    // The file the move replaces gives its blocks back.
    if (replaces)
        usage.freeBlocks += static_cast<int64_t>(
            blocksFor(static_cast<uint64_t>(targetStat.st_size), usage.blockSize));
}

}  // namespace

bool startsWith(const std::string& path, const std::string& mountPath) {
    return path.size() >= mountPath.size() && path.compare(0, mountPath.size(), mountPath) == 0;
}

FsUsage usageAfter(const FsTransaction& transaction, const std::string& mountPath) {
    FsUsage usage{mountPath, 1, 0, 0, false};
    struct statfs fs;
    if (statfs(mountPath.c_str(), &fs) == 0) {
        // a zero block size would make every credit a division by zero
        if (fs.f_bsize > 0) usage.blockSize = static_cast<uint32_t>(fs.f_bsize);
        usage.freeBlocks = static_cast<int64_t>(fs.f_bfree);
    } else {
        usage.missing = errno == ENOENT;
    }
    // The commit makes its removals before any move.
    for (const auto& [target, entry] : transaction.entries)
        if (entry.kind == FsEntryKind::Remove) credit(usage, target);
    usage.lowestFreeBlocks = usage.freeBlocks;
    for (const auto& [target, entry] : transaction.entries)
        if (entry.kind == FsEntryKind::Move || entry.kind == FsEntryKind::NewFile)
            debit(usage, entry, target);
    usage.lowestFreeBlocks = std::min(usage.lowestFreeBlocks, usage.freeBlocks);
    return usage;
}

bool checkSpace(const FsTransaction& transaction, MissingMount missing) {
    for (const char* mountPath : {kBootMount, kFlashMount}) {
        FsUsage usage = usageAfter(transaction, mountPath);
        if (usage.missing && missing == MissingMount::Passes) continue;
        if (usage.lowestFreeBlocks <= kMinimumFreeBlocks) return false;
    }
    return true;
}
