#include "database/DatabaseWriter.h"

#include <fstream>

#include "database/PackageDatabase.h"
#include "planning/InstallReports.h"
#include "transaction/FsTransaction.h"
#include "transaction/TempFiles.h"

namespace {

// Expected sizes handed to createFile, so that it can tell whether the target's
// own file system has room for the temporary file.
constexpr uint32_t kVersionSizeHint = 32;
constexpr uint32_t kListSizeHint = 1024;
constexpr uint32_t kBundleSizeHint = 16;
constexpr uint32_t kFilesSizeHint = 4096;
constexpr uint32_t kStateSizeHint = 8;

const char* stateWord(const PackageRecord& record) {
    return record.userForced ? "user" : "auto";
}

void writeDisabledFile(const PackageRecord& record, FsTransaction& transaction,
                       const std::string& directory) {
    std::ofstream out = createFile(transaction, directory + "disabled", kStateSizeHint, 0);
    out << stateWord(record) << '\n';
}

void writeEnabledFile(FsTransaction& transaction, const std::string& directory) {
    std::ofstream out = createFile(transaction, directory + "enabled", kStateSizeHint, 0);
    out << "user\n";
}

// The failure is reported before the failed stream is closed, so that errno
// still tells why it failed.
bool failWith(const PackageRecord& record, const char* name) {
    reportCreateFailure(record, name);
    return false;
}

bool writeMetadataFiles(PackageRecord& record, FsTransaction& transaction,
                        const std::string& directory) {
    {
        std::ofstream out = createFile(transaction, directory + "version", kVersionSizeHint, 0);
        out << record.version << ' ' << record.buildTime << '\n';
        // Flushed here rather than at close, so that a full disk shows now.
        out.flush();
        if (out.fail()) return failWith(record, "meta/version");
    }
    if (!writeDependencyFile(transaction, directory + "deps", record.dependencies, false))
        return failWith(record, "meta/deps");
    if (!record.provides.empty() &&
        !writeDependencyFile(transaction, directory + "provides", record.provides, true))
        return failWith(record, "meta/provides");
    if (!record.conflicts.empty() &&
        !writeDependencyFile(transaction, directory + "conflicts", record.conflicts, false))
        return failWith(record, "meta/conflicts");
    if (!record.bundle.name.empty()) {
        std::ofstream out = createFile(transaction, directory + "bundle", kBundleSizeHint, 0);
        out << record.bundle.name << '\n';
        out.flush();
        if (out.fail()) return failWith(record, "meta/bundle");
    } else {
        transaction.remove(directory + "bundle");
    }
    if (!writeFilesList(record, transaction)) return failWith(record, "meta/files");
    return true;
}

}  // namespace

bool writeDependencyFile(FsTransaction& transaction, const std::string& path,
                         const std::vector<PackageRange>& list, bool withPrecedence) {
    std::ofstream out = createFile(transaction, path, kListSizeHint, 0);
    for (const PackageRange& entry : list) {
        out << entry.name << ' ' << entry.min << ' ' << entry.max;
        if (withPrecedence) out << ' ' << entry.precedence;
        out << '\n';
    }
    out.flush();
    // An empty list writes nothing, so only is_open shows a file that never came.
    return out.is_open() && !out.fail();
}

bool writeFilesList(PackageRecord& record, FsTransaction& transaction) {
    if (record.isBundle) return true;
    std::ofstream out =
        createFile(transaction, packageDirectory(record) + "files", kFilesSizeHint, 0);
    // Stored relative to "/", as the paths sit in the package's file container.
    for (const std::string& path : record.files) {
        if (path.empty()) continue;
        out << (path[0] == '/' ? path.substr(1) : path) << '\n';
    }
    out.flush();
    return out.is_open() && !out.fail();
}

bool writeDatabaseEntry(PackageRecord& record, FsTransaction& transaction) {
    std::string directory = packageDirectory(record);
    // A package kept whole as an image is described by that image; its own
    // flag can ask for the same.
    if (!record.hasImagePart && (record.flags & kFlagNoMetadata) == 0 &&
        !writeMetadataFiles(record, transaction, directory))
        return false;
    if (record.disabled)
        writeDisabledFile(record, transaction, directory);
    else
        transaction.remove(directory + "disabled");
    if (!record.disabled && record.userForced)
        writeEnabledFile(transaction, directory);
    else
        transaction.remove(directory + "enabled");
    return true;
}

bool createDatabaseEntry(PackageRecord& record, FsTransaction& transaction) {
    return reclaimDatabaseDir(record, transaction) && writeDatabaseEntry(record, transaction);
}

void markDisabled(PackageRecord& record, FsTransaction& transaction) {
    std::string directory = packageDirectory(record);
    transaction.remove(directory + "enabled");
    writeDisabledFile(record, transaction, directory);
    record.disabled = true;
    record.pendingAction = kActionNone;
}

void markEnabled(PackageRecord& record, FsTransaction& transaction) {
    std::string directory = packageDirectory(record);
    transaction.remove(directory + "disabled");
    if (record.userForced)
        writeEnabledFile(transaction, directory);
    else
        transaction.remove(directory + "enabled");
    record.disabled = false;
    record.pendingAction = kActionNone;
}
