#pragma once
// Every change to flash is staged here per target path and applied by commit in
// a fixed order: removals and links first, then renames, each pass in path order.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

enum class FsEntryKind { Move, NewFile, Link, Remove };

struct FsEntry {
    FsEntryKind kind;
    // Move, NewFile: the file that becomes the target; Link: the link text
    std::string source;
};

constexpr size_t kCopyChunkSize = 16384;
constexpr uint32_t kSpinnerTicks = 20;

class FsTransaction {
public:
    FsTransaction() = default;
    FsTransaction(const FsTransaction&) = delete;
    FsTransaction& operator=(const FsTransaction&) = delete;

    void move(const std::string& source, const std::string& target);
    void link(const std::string& text, const std::string& linkPath);
    // Stages a removal when the path exists; otherwise withdraws its entry.
    void remove(const std::string& path);
    // Whether the path can be used as a directory; withdraws a staged removal.
    bool claimDirectory(const std::string& path);
    // A later staging for the same path wins; a replaced NewFile loses its
    // temporary file.
    void stage(const std::string& target, FsEntryKind kind, const std::string& source);
    void commit(bool spinner);
    void cancel();

    bool empty() const { return entries.empty(); }
    // ordered by byte-wise path comparison
    std::map<std::string, FsEntry> entries;
};

std::string parentDirectory(const std::string& path);
void makeDirectories(const std::string& path);
bool copyFile(const std::string& source, const std::string& target, bool spinner);
uint32_t tickCount();
void spinnerStep();
