#include "database/DatabaseWriter.h"

#include <sys/stat.h>

#include <sstream>

#include "database/PackageDatabase.h"
#include "model/PackageReports.h"
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

// The metadata files a package described by its files has; one described by
// its image has none of them.
const char* const kMetadataFiles[] = {"version",   "deps",   "provides",
                                      "conflicts", "bundle", "files"};

const char* stateWord(const PackageRecord& record) {
    return record.userForced ? "user" : "auto";
}

bool writeDisabledFile(const PackageRecord& record, FsTransaction& transaction,
                       const std::string& directory) {
    return writeStagedFile(transaction, directory + "disabled", kStateSizeHint, 0,
                           std::string(stateWord(record)) + "\n");
}

bool writeEnabledFile(FsTransaction& transaction, const std::string& directory) {
    return writeStagedFile(transaction, directory + "enabled", kStateSizeHint, 0, "user\n");
}

// The failure is reported before anything else can change errno.
bool failWith(Reporter& reporter, const PackageRecord& record, const char* name) {
    reportCreateFailure(reporter, record, name);
    return false;
}

std::string dependencyText(const std::vector<PackageRange>& list, bool withPrecedence) {
    std::ostringstream out;
    for (const PackageRange& entry : list) {
        out << entry.name << ' ' << entry.min << ' ' << entry.max;
        if (withPrecedence) out << ' ' << entry.precedence;
        out << '\n';
    }
    return out.str();
}

// A list file of the new version, or the removal of the old version's file when
// the new one has no such list: the entry describes the new version alone.
bool writeOptionalList(FsTransaction& transaction, const std::string& path,
                       const std::vector<PackageRange>& list, bool withPrecedence) {
    if (list.empty()) {
        transaction.remove(path);
        return true;
    }
    return writeDependencyFile(transaction, path, list, withPrecedence);
}

bool writeMetadataFiles(Reporter& reporter, PackageRecord& record, FsTransaction& transaction,
                        const std::string& directory) {
    std::string version =
        std::to_string(record.version) + " " + std::to_string(record.buildTime) + "\n";
    if (!writeStagedFile(transaction, directory + "version", kVersionSizeHint, 0, version))
        return failWith(reporter, record, "meta/version");
    if (!writeDependencyFile(transaction, directory + "deps", record.dependencies, false))
        return failWith(reporter, record, "meta/deps");
    if (!writeOptionalList(transaction, directory + "provides", record.provides, true))
        return failWith(reporter, record, "meta/provides");
    if (!writeOptionalList(transaction, directory + "conflicts", record.conflicts, false))
        return failWith(reporter, record, "meta/conflicts");
    if (!record.bundle.name.empty()) {
        if (!writeStagedFile(transaction, directory + "bundle", kBundleSizeHint, 0,
                             record.bundle.name + "\n"))
            return failWith(reporter, record, "meta/bundle");
    } else {
        transaction.remove(directory + "bundle");
    }
    if (record.isBundle) transaction.remove(directory + "files");
    if (!writeFilesList(record, transaction)) return failWith(reporter, record, "meta/files");
    return true;
}

}  // namespace

bool writeDependencyFile(FsTransaction& transaction, const std::string& path,
                         const std::vector<PackageRange>& list, bool withPrecedence) {
    return writeStagedFile(transaction, path, kListSizeHint, 0,
                           dependencyText(list, withPrecedence));
}

bool writeFilesList(PackageRecord& record, FsTransaction& transaction) {
    if (record.isBundle) return true;
    std::string text;
    // Stored relative to "/", as the paths sit in the package's file container.
    for (const std::string& path : record.files) {
        if (path.empty()) continue;
        text.append(path, path[0] == '/' ? 1 : 0, std::string::npos);
        text += '\n';
    }
    return writeStagedFile(transaction, packageDirectory(record) + "files", kFilesSizeHint, 0,
                           text);
}

bool writeDatabaseEntry(Reporter& reporter, PackageRecord& record, FsTransaction& transaction) {
    std::string directory = packageDirectory(record);
    // A package kept whole as an image is described by that image; its own
    // flag can ask for the same. The metadata files of an older version that
    // was described by them go.
    if (!record.hasImagePart && (record.flags & kFlagNoMetadata) == 0) {
        if (!writeMetadataFiles(reporter, record, transaction, directory)) return false;
    } else {
        for (const char* name : kMetadataFiles) transaction.remove(directory + name);
    }
    if (record.disabled) {
        if (!writeDisabledFile(record, transaction, directory))
            return failWith(reporter, record, "disabled");
    } else {
        transaction.remove(directory + "disabled");
    }
    if (!record.disabled && record.userForced) {
        if (!writeEnabledFile(transaction, directory)) return failWith(reporter, record, "enabled");
    } else {
        transaction.remove(directory + "enabled");
    }
    return true;
}

bool reclaimDatabaseDir(const PackageRecord& record, FsTransaction& transaction) {
    std::string directory = packageDirectory(record);
    if (!transaction.claimDirectory(directory)) return false;
    // The trailing slash makes stat fail with ENOTDIR on a plain file, which the
    // claim takes for a path that does not exist; the name itself must not be
    // anything but a directory either.
    struct stat st;
    std::string bare = directory.substr(0, directory.size() - 1);
    return stat(bare.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}

bool createDatabaseEntry(Reporter& reporter, PackageRecord& record, FsTransaction& transaction) {
    return reclaimDatabaseDir(record, transaction) &&
           writeDatabaseEntry(reporter, record, transaction);
}

void markDisabled(PackageRecord& record, FsTransaction& transaction) {
    std::string directory = packageDirectory(record);
    transaction.remove(directory + "enabled");
    // A failed write is kept in the transaction, which is then not committed.
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
