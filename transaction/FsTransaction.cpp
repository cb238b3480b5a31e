#include "transaction/FsTransaction.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

FsTransaction::FsTransaction(TempRegistry* registry)
    : registry_(registry != nullptr ? registry : &ownRegistry_) {
    // The umask can only be read by setting it.
    umask_ = umask(0);
    umask(umask_);
}

void FsTransaction::noteWriteFailure(const std::string& path, int error) {
    if (writeError_ != 0) return;
    failedPath_ = path;
    writeError_ = error != 0 ? error : EIO;
}

namespace {

void deleteTemporary(TempRegistry& registry, const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) registry.forget(path);
}

}  // namespace

void FsTransaction::stage(const std::string& target, FsEntryKind kind, const std::string& source) {
    auto [it, added] = entries.try_emplace(target, FsEntry{kind, source});
    if (added) return;
    // The transaction owns a NewFile's temporary file; once the entry is
    // replaced nothing else would ever delete it.
    if (it->second.kind == FsEntryKind::NewFile) deleteTemporary(*registry_, it->second.source);
    it->second.kind = kind;
    it->second.source = source;
    it->second.newFileSize = -1;
}

void FsTransaction::noteNewFile(const std::string& target, uint64_t size) {
    auto it = entries.find(target);
    if (it != entries.end() && it->second.kind == FsEntryKind::NewFile)
        it->second.newFileSize = static_cast<int64_t>(size);
}

void FsTransaction::move(const std::string& source, const std::string& target) {
    stage(target, FsEntryKind::Move, source);
}

void FsTransaction::link(const std::string& text, const std::string& linkPath) {
    stage(linkPath, FsEntryKind::Link, text);
}

void FsTransaction::remove(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        stage(path, FsEntryKind::Remove, std::string());
        return;
    }
    // Nothing to delete at commit, and nothing else staged for the path should
    // happen either. Moved sources stay where they are, but a temporary file
    // of our own would be left behind with nothing pointing at it.
    auto it = entries.find(path);
    if (it == entries.end()) return;
    if (it->second.kind == FsEntryKind::NewFile) deleteTemporary(*registry_, it->second.source);
    entries.erase(it);
}

int FsTransaction::stagedPathConflict(const std::string& target) const {
    const std::string folder = target + "/";
    for (auto it = entries.lower_bound(folder);
         it != entries.end() && it->first.compare(0, folder.size(), folder) == 0; ++it) {
        if (it->second.kind != FsEntryKind::Remove) return EISDIR;
    }
    for (size_t slash = target.find('/', 1); slash != std::string::npos;
         slash = target.find('/', slash + 1)) {
        auto it = entries.find(target.substr(0, slash));
        if (it != entries.end() && it->second.kind != FsEntryKind::Remove) return ENOTDIR;
    }
    return 0;
}

bool FsTransaction::claimDirectory(const std::string& path) {
    auto it = entries.find(path);
    if (it != entries.end()) {
        if (it->second.kind != FsEntryKind::Remove) return false;
        entries.erase(it);
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return true;
    return S_ISDIR(st.st_mode);
}

void FsTransaction::cancel() {
    for (const auto& [target, entry] : entries) {
        (void)target;
        if (entry.kind == FsEntryKind::NewFile) deleteTemporary(*registry_, entry.source);
    }
    entries.clear();
}
