#include "transaction/Manifest.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "platform/FileInput.h"
#include "platform/FileOutput.h"

namespace {

// Fields between single spaces; two spaces in a row give an empty field.
std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t space = line.find(' ', start);
        if (space == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, space - start));
        start = space + 1;
    }
}

}  // namespace

void writeManifest(const FsTransaction& transaction, std::ostream& out) {
    for (const auto& [target, entry] : transaction.entries) {
        switch (entry.kind) {
            case FsEntryKind::Remove:
                out << "U " << target << '\n';
                break;
            case FsEntryKind::Link:
                out << "L " << target << ' ' << entry.source << '\n';
                break;
            case FsEntryKind::Move:
            case FsEntryKind::NewFile:
                out << "M " << target << ' ' << entry.source << '\n';
                break;
        }
    }
}

bool writeManifest(const FsTransaction& transaction, const std::string& path,
                   TempRegistry& registry) {
    // Written whole beside its place and renamed there: a manifest is complete
    // or absent, never cut, even when the file system fills up or power fails.
    // Something else in its place (a FIFO, a directory) is not ours to replace.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    std::string tempPath;
    int fd = registry.createUnique(parentDirectory(path) + "/tmp", kManifestMode, tempPath);
    if (fd < 0) return false;
    OutputFile out;
    out.attach(fd);
    writeManifest(transaction, out);
    bool written = out.close(true) && rename(tempPath.c_str(), path.c_str()) == 0;
    int error = errno;
    if (written || unlink(tempPath.c_str()) == 0) registry.forget(tempPath);
    errno = error;
    return written;
}

bool manifestMoveSources(const std::string& path, std::set<std::string>& sources) {
    FsTransaction saved;
    bool ioError = false;
    readManifest(saved, path, &ioError);
    for (const auto& [target, entry] : saved.entries)
        if (entry.kind == FsEntryKind::Move) sources.insert(entry.source);
    return !ioError;
}

bool readManifest(FsTransaction& transaction, const std::string& path, bool* ioError) {
    // Anything but a regular file counts as no manifest.
    std::string content;
    OpenResult read = readWholeFile(path, content);
    if (ioError) *ioError = read == OpenResult::Unreadable && errno != EISDIR && errno != EINVAL;
    if (read != OpenResult::Opened) return false;
    std::istringstream in(content);
    for (;;) {
        if (in.fail()) return !transaction.empty();
        std::string line;
        std::getline(in, line);
        // Also the read past a final newline: the manifest is complete.
        if (line.empty()) return true;
        std::vector<std::string> fields = splitFields(line);
        if (fields.size() < 2) return false;
        const std::string& kind = fields[0];
        if (kind == "U") {
            // Written by a run that saw the path; whether it still exists is
            // for the commit to find out.
            transaction.stage(fields[1], FsEntryKind::Remove, std::string());
        } else if (kind == "L") {
            if (fields.size() < 3) return false;
            transaction.link(fields[2], fields[1]);
        } else if (kind == "M") {
            if (fields.size() < 3) return false;
            // Ownership of temporary files does not survive the run that made
            // them: a restored transaction only moves.
            transaction.move(fields[2], fields[1]);
        }
    }
}
