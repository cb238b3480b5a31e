// Completing a package record from the text files of its database directory and
// from its schedule file.
#include <cstdint>
#include <istream>
#include <sstream>
#include <string>

#include "database/PackageDatabase.h"
#include "platform/FileInput.h"

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

bool parseDependencyList(const std::string& content, std::vector<PackageRange>& list,
                         bool withPrecedence) {
    std::istringstream in(content);
    for (;;) {
        PackageRange entry;
        if (!(in >> entry.name)) return true;
        if (!readUnsigned(in, entry.min) || !readUnsigned(in, entry.max)) return false;
        if (withPrecedence && !readSigned(in, entry.precedence)) return false;
        list.push_back(std::move(entry));
    }
}

// One file of the entry; a file that exists but cannot be read is noted, and the
// whole record is then not to be acted on.
class EntryFiles {
public:
    EntryFiles(std::string directory, DatabaseReadErrors* errors)
        : directory_(std::move(directory)), errors_(errors) {}

    OpenResult read(const std::string& name, std::string& content) {
        return readPath(directory_ + name, content);
    }
    OpenResult readPath(const std::string& path, std::string& content) {
        OpenResult result = readWholeFile(path, content);
        if (result == OpenResult::Unreadable) {
            readable_ = false;
            if (errors_) errors_->push_back(path);
        }
        return result;
    }
    bool readable() const { return readable_; }

private:
    std::string directory_;
    DatabaseReadErrors* errors_;
    bool readable_ = true;
};

void readDependencies(EntryFiles& files, const char* name, std::vector<PackageRange>& list,
                      bool withPrecedence, PackageRecord& record) {
    std::string content;
    if (files.read(name, content) != OpenResult::Opened) return;
    if (!parseDependencyList(content, list, withPrecedence)) record.pendingAction = kActionUninstall;
}

void readMetadataFiles(PackageRecord& record, EntryFiles& files) {
    std::string content;
    OpenResult version = files.read("version", content);
    if (version == OpenResult::Missing) record.pendingAction = kActionUninstall;
    if (version == OpenResult::Opened) {
        std::istringstream in(content);
        if (!readUnsigned(in, record.version) || !readUnsigned(in, record.buildTime))
            record.pendingAction = kActionUninstall;
    }
    readDependencies(files, "deps", record.dependencies, false, record);
    readDependencies(files, "provides", record.provides, true, record);
    readDependencies(files, "conflicts", record.conflicts, false, record);
    if (files.read("bundle", content) == OpenResult::Opened) {
        std::istringstream in(content);
        std::string bundleName;
        if (in >> bundleName) {
            record.bundle.name = bundleName;
            record.bundle.min = 0;
            record.bundle.max = 0;
            record.pendingAction = kActionUninstall;
        }
    }
    // A package without a files list is a bundle: it installs nothing itself.
    OpenResult list = files.read("files", content);
    record.isBundle = list == OpenResult::Missing;
    std::istringstream lines(list == OpenResult::Opened ? content : std::string());
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        record.files.insert(line[0] == '/' ? line : "/" + line);
    }
}

void readStateFiles(PackageRecord& record, EntryFiles& files) {
    record.userForced = false;
    std::string content;
    OpenResult disabled = files.read("disabled", content);
    if (disabled == OpenResult::Opened) {
        record.disabled = true;
        std::istringstream in(content);
        std::string line;
        std::getline(in, line);
        record.userForced = line != "auto";
        return;
    }
    record.disabled = false;
    if (files.read("enabled", content) == OpenResult::Opened) record.userForced = true;
}

void readSchedule(PackageRecord& record, EntryFiles& files) {
    std::string content;
    if (files.readPath(kScheduleRoot + record.name + "/schedule", content) != OpenResult::Opened)
        return;
    std::istringstream in(content);
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
    std::string content;
    OpenResult result = readWholeFile(path, content);
    if (result == OpenResult::Missing) return true;
    return result == OpenResult::Opened && parseDependencyList(content, list, withPrecedence);
}

bool readDatabaseEntry(PackageRecord& record, DatabaseReadErrors* errors) {
    EntryFiles files(packageDirectory(record), errors);
    // An image already described the package; its metadata files are not kept.
    if (record.version == 0) readMetadataFiles(record, files);
    readStateFiles(record, files);
    // Placeholders stand for packages that are not really there: nothing can be
    // scheduled for them.
    if (!isPlaceholder(record)) readSchedule(record, files);
    return files.readable();
}
