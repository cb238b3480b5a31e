// Completing a package record from the text files of its database directory and
// from its schedule file.
#include <cstdint>
#include <fstream>
#include <istream>
#include <string>

#include "database/PackageDatabase.h"

namespace {

// Extraction into an unsigned type takes a leading minus and wraps the value;
// the database only ever holds non-negative numbers, so a sign means the file is
// damaged.
bool readUnsigned(std::istream& in, uint32_t& value) {
    in >> std::ws;
    if (in.peek() == '-') return false;
    unsigned int number = 0;
    if (!(in >> number)) return false;
    value = number;
    return true;
}

bool readSigned(std::istream& in, int32_t& value) {
    int number = 0;
    if (!(in >> number)) return false;
    value = number;
    return true;
}

bool canOpen(const std::string& path) {
    return std::ifstream(path).is_open();
}

void readMetadataFiles(PackageRecord& record, const std::string& directory) {
    {
        std::ifstream in(directory + "version");
        if (!in.is_open() || !readUnsigned(in, record.version) ||
            !readUnsigned(in, record.buildTime))
            record.pendingAction = kActionUninstall;
    }
    if (!readDependencyFile(directory + "deps", record.dependencies, false))
        record.pendingAction = kActionUninstall;
    if (!readDependencyFile(directory + "provides", record.provides, true))
        record.pendingAction = kActionUninstall;
    if (!readDependencyFile(directory + "conflicts", record.conflicts, false))
        record.pendingAction = kActionUninstall;
    {
        std::ifstream in(directory + "bundle");
        std::string bundleName;
        if (in >> bundleName) {
            record.bundle.name = bundleName;
            record.bundle.min = 0;
            record.bundle.max = 0;
            record.pendingAction = kActionUninstall;
        }
    }
    std::ifstream files(directory + "files");
    // A package without a files list is a bundle: it installs nothing itself.
    record.isBundle = !files.is_open();
    std::string line;
    while (std::getline(files, line)) {
        if (line.empty()) continue;
        record.files.insert(line[0] == '/' ? line : "/" + line);
    }
}

void readStateFiles(PackageRecord& record, const std::string& directory) {
    record.userForced = false;
    std::ifstream disabled(directory + "disabled");
    if (disabled.is_open()) {
        record.disabled = true;
        std::string line;
        std::getline(disabled, line);
        record.userForced = line != "auto";
    } else {
        record.disabled = false;
        if (canOpen(directory + "enabled")) record.userForced = true;
    }
}

void readSchedule(PackageRecord& record) {
    std::ifstream in(kScheduleRoot + record.name + "/schedule");
    std::string word;
    if (!(in >> word)) return;
    if (word == actionWord(kActionUninstall)) {
        record.pendingAction = kActionUninstall;
    } else if (word == actionWord(kActionEnable)) {
        record.pendingAction = kActionEnable;
        record.userForced = true;
    } else if (word == actionWord(kActionDisable)) {
        record.pendingAction = kActionDisable;
        record.userForced = true;
    }
}

}  // namespace

bool readDependencyFile(const std::string& path, std::vector<PackageRange>& list,
                        bool withPrecedence) {
    std::ifstream in(path);
    for (;;) {
        PackageRange entry;
        if (!(in >> entry.name)) return true;
        if (!readUnsigned(in, entry.min) || !readUnsigned(in, entry.max)) return false;
        if (withPrecedence && !readSigned(in, entry.precedence)) return false;
        list.push_back(std::move(entry));
    }
}

void readDatabaseEntry(PackageRecord& record) {
    std::string directory = packageDirectory(record);
    // An image already described the package; its metadata files are not kept.
    if (record.version == 0) readMetadataFiles(record, directory);
    readStateFiles(record, directory);
    // Placeholders stand for packages that are not really there: nothing can be
    // scheduled for them.
    if (!isPlaceholder(record)) readSchedule(record);
}
