#include "fuzz/FuzzSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "model/InstallContext.h"
#include "platform/ByteOrder.h"

namespace fuzzsupport {

const char* const kDatabasePackageNames[kDatabasePackageCount] = {"alpha", "beta", "gamma",
                                                                  ".hidden"};

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void makeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) return;
    }
}

void resetContext(InstallContext& context) {
    std::vector<std::unique_ptr<PackageRecord>>().swap(context.packages);
    std::vector<std::string>().swap(context.console.messages);
    std::string().swap(context.console.status);
    context.console.quiet = false;
    context.console.postLogReserved = false;
}

bool verbose() {
    static const bool on = std::getenv(kVerboseVariable) != nullptr;
    return on;
}

std::ostream& consoleOutput() {
    static NullStream discard;
    return verbose() ? std::cerr : discard;
}

uint32_t inputHash(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

void expectationFailed(const char* what, const std::string& detail) {
    std::fprintf(stderr, "==== fuzz expectation failed: %s\n%s\n", what, detail.c_str());
    std::abort();
}

std::vector<DatabaseRecord> decodeDatabaseInput(const uint8_t* data, size_t size) {
    std::vector<DatabaseRecord> records;
    size_t pos = 0;
    while (size - pos >= kDatabaseRecordHeaderSize) {
        uint8_t tag = data[pos];
        size_t length = load16le(data + pos + 1);
        pos += kDatabaseRecordHeaderSize;
        length = std::min(length, size - pos);
        DatabaseRecord record;
        record.slot = static_cast<DatabaseSlot>(tag % 16);
        record.package = tag / 16 % kDatabasePackageCount;
        record.content.assign(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        if (record.slot < kSlotCount) records.push_back(std::move(record));
    }
    return records;
}

std::string encodeDatabaseInput(const std::vector<DatabaseRecord>& records) {
    std::string out;
    for (const DatabaseRecord& record : records) {
        uint8_t header[kDatabaseRecordHeaderSize];
        header[0] = static_cast<uint8_t>(record.package * 16 + record.slot);
        store16le(header + 1, static_cast<uint16_t>(record.content.size()));
        out.append(reinterpret_cast<const char*>(header), sizeof header);
        out += record.content;
    }
    return out;
}

void writeDatabaseRecord(const DatabaseRecord& record) {
    static const char* const kFileNames[kSlotCount] = {
        "version", "deps",  "provides", "conflicts", "bundle", "files", "disabled",
        "enabled", "image", "schedule", "",          "",       "image"};
    std::string name = kDatabasePackageNames[record.package];
    std::string directory = "/flash/var/pdb/" + name + "/";
    switch (record.slot) {
        case kSlotSchedule:
            makeDirs("/ram/pdb/" + name);
            writeFile("/ram/pdb/" + name + "/schedule", record.content);
            return;
        case kSlotImageDirectory:
            makeDirs("/rw/pckg/.images");
            writeFile("/rw/pckg/.images/" + name, record.content);
            return;
        case kSlotEmptyDirectory:
            makeDirs(directory);
            return;
        case kSlotBootImage:
            makeDirs(directory);
            writeFile("/flash/bootimage", record.content);
            unlink((directory + "image").c_str());
            symlink("/flash/bootimage", (directory + "image").c_str());
            return;
        default:
            makeDirs(directory);
            writeFile(directory + kFileNames[record.slot], record.content);
            return;
    }
}

std::vector<InstalledPackage> installedTemplate() {
    return {
        {"base", makeVersion(1, 0, kStageFinal, 0), 1000, "", "", "opt/base/README"},
        {"old", makeVersion(1, 0, kStageFinal, 0), 1000, "base 0 0\n", "", "opt/old/data"},
        {"guard", makeVersion(2, 1, kStageFinal, 3), 2000, "", "victim 0 0\n", "bin/guard"},
    };
}

void writeInstalledTemplate() {
    for (const InstalledPackage& package : installedTemplate()) {
        std::string directory = "/flash/var/pdb/" + package.name + "/";
        makeDirs(directory);
        writeFile(directory + "version",
                  std::to_string(package.version) + " " + std::to_string(package.buildTime) + "\n");
        if (!package.deps.empty()) writeFile(directory + "deps", package.deps);
        if (!package.conflicts.empty()) writeFile(directory + "conflicts", package.conflicts);
        writeFile(directory + "files", "flash/" + package.file + "\n");
        std::string path = "/flash/" + package.file;
        makeDirs(path.substr(0, path.rfind('/')));
        writeFile(path, "installed " + package.name + "\n");
    }
}

}  // namespace fuzzsupport
