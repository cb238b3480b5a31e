#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/Handles.h"
#include "transaction/FsTransaction.h"

namespace {

// Deletes a file, or a directory's visible plain files and then the directory;
// hidden files and subdirectories keep the directory in place. False when a
// file that is there could not be deleted, or the directory not read.
bool removeTarget(const std::string& target) {
    if (unlink(target.c_str()) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR) {
        perror("unlink");
        return false;
    }
    bool removed = true;
    {
        DirHandle dir(opendir(target.c_str()));
        if (!dir) {
            if (errno == ENOENT) return true;
            perror("opendir");
            return false;
        }
        while (const dirent* entry = readdir(dir.get())) {
            if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
            if (unlink((target + "/" + entry->d_name).c_str()) == 0 || errno == ENOENT) continue;
            // A subdirectory keeps its parent, as hidden files do.
            if (errno == EISDIR) continue;
            perror("unlink");
            removed = false;
        }
    }
    if (removed && rmdir(target.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST &&
        errno != ENOENT) {
        perror("rmdir");
        removed = false;
    }
    return removed;
}

bool linkTarget(const std::string& text, const std::string& target) {
    makeDirectories(parentDirectory(target));
    unlink(target.c_str());
    if (symlink(text.c_str(), target.c_str()) == 0) return true;
    perror("symlink");
    return false;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool moveTarget(const std::string& source, const std::string& target, Spinner* spinner,
                std::string& lastParent, TempRegistry& registry) {
    // Moves come in path order, so the files of one directory follow each
    // other: its parent needs making only once.
    std::string parent = parentDirectory(target);
    if (parent != lastParent) {
        makeDirectories(parent);
        lastParent = parent;
    }
    if (rename(source.c_str(), target.c_str()) == 0) {
        registry.forget(source);
        return true;
    }
    if (errno == EXDEV) {
        // The copy reports its own failure; the source stays either way.
        return copyFile(source, target, spinner, registry);
    }
    int error = errno;
    perror("rename");
    // A saved manifest committed again finds its moves done already.
    return error == ENOENT && !exists(source) && exists(target);
}

}  // namespace

bool FsTransaction::commit(Spinner* spinner) {
    bool applied = true;
    for (const auto& [target, entry] : entries) {
        if (entry.kind == FsEntryKind::Remove && !removeTarget(target))
            applied = false;
        else if (entry.kind == FsEntryKind::Link && !linkTarget(entry.source, target))
            applied = false;
    }
    // New files were written through streams that may still sit in the page
    // cache; they must reach the flash before a rename makes them the only copy.
    sync();
    std::string lastParent;
    for (const auto& [target, entry] : entries) {
        if (entry.kind != FsEntryKind::Move && entry.kind != FsEntryKind::NewFile) continue;
        if (!moveTarget(entry.source, target, spinner, lastParent, *registry_)) applied = false;
    }
    // The renames themselves, and any copies, are durable only after this.
    sync();
    return applied;
}
