#pragma once
// Every change to flash is staged here per target path and applied by commit in
// a fixed order: removals and links first, then renames, each pass in path order.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "transaction/Spinner.h"
#include "transaction/TempRegistry.h"

enum class FsEntryKind { Move, NewFile, Link, Remove };

struct FsEntry {
    FsEntryKind kind;
    // Move, NewFile: the file that becomes the target; Link: the link text
    std::string source;
    // NewFile: the bytes its writer put in the temporary file, once complete,
    // for a target that did not exist when it was staged; -1 otherwise. Spares
    // the space check two lookups per extracted file.
    int64_t newFileSize = -1;
};

constexpr size_t kCopyChunkSize = 16384;

class FsTransaction {
public:
    // Temporary files are recorded in registry (not owned), when given.
    explicit FsTransaction(TempRegistry* registry = nullptr);
    FsTransaction(const FsTransaction&) = delete;
    FsTransaction& operator=(const FsTransaction&) = delete;

    void move(const std::string& source, const std::string& target);
    void link(const std::string& text, const std::string& linkPath);
    // Stages a removal when the path exists; otherwise withdraws its entry
    // (deleting no file).
    void remove(const std::string& path);
    // Whether the path can be used as a directory; withdraws a staged removal.
    bool claimDirectory(const std::string& path);
    // EISDIR when a file or link staged below target makes it a folder at
    // commit, ENOTDIR when one is staged at a folder of target's path; 0 when
    // target can take a file. Staged removals make way.
    int stagedPathConflict(const std::string& target) const;
    // A later staging for the same path wins; a replaced NewFile loses its
    // temporary file.
    void stage(const std::string& target, FsEntryKind kind, const std::string& source);
    // The NewFile staged at target, where nothing existed when it was staged,
    // was written whole with size bytes.
    void noteNewFile(const std::string& target, uint64_t size);
    // Applies every entry, flushing written data to storage before and after
    // the renames. Failures print a perror line and the walk goes on; nothing is
    // rolled back. The entries stay in the map. False when a rename, copy or
    // link failed; a move whose source is gone while its target exists counts
    // as done (a repeated commit of a saved manifest).
    bool commit(Spinner* spinner);
    // Deletes the temporary files of NewFile entries and empties the map.
    void cancel();

    bool empty() const { return entries.empty(); }

    TempRegistry& registry() { return *registry_; }
    // The permission bits a new file gets from mode, given the process umask.
    mode_t createdMode(mode_t mode) const { return mode & ~umask_ & 07777; }

    // A staged file that could not be made or written whole: a fault of the
    // file system, kept until the run looks before committing. noteWriteFailure
    // leaves errno as it is.
    void noteWriteFailure(const std::string& path, int error);
    bool writeFailed() const { return writeError_ != 0; }
    const std::string& failedPath() const { return failedPath_; }
    int writeError() const { return writeError_; }
    // ordered by byte-wise path comparison
    std::map<std::string, FsEntry> entries;

    // Staging creates no directory, so while a transaction is being filled the
    // nearest existing ancestor of a directory stays the same: temporary-file
    // placement remembers its answers instead of walking up again.
    std::map<std::string, std::string> placementAncestors;

private:
    TempRegistry ownRegistry_;
    TempRegistry* registry_;
    mode_t umask_;
    std::string failedPath_;
    int writeError_ = 0;
};

// dirname semantics: trailing slashes do not count, "/" gives "/", a bare name ".".
std::string parentDirectory(const std::string& path);
// mkdir -p with mode 0777 (less the umask); failures are silent. Linear in the
// depth of the path.
void makeDirectories(const std::string& path);
// Copies a regular file's bytes and mode into a temporary file beside target
// (recorded in registry) and renames it over target once complete. On failure
// the old target is left untouched, the partial copy deleted and the system
// error printed with the label "copy". A directory or device source answers
// false and creates nothing.
bool copyFile(const std::string& source, const std::string& target, Spinner* spinner,
              TempRegistry& registry);
