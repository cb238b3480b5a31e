#include "package/FileContainer.h"

#include <fstream>
#include <string>

#include "driver/FlashProbes.h"
#include "package/PartReader.h"
#include "planning/InstallReports.h"
#include "platform/ByteOrder.h"
#include "platform/ProcessorVersion.h"
#include "transaction/TempFiles.h"
#include "zstream/InflateStream.h"

std::optional<int> machineClass() {
    std::optional<uint32_t> pvr = readProcessorVersion();
    if (!pvr) return std::nullopt;
    uint32_t v = *pvr;
    uint32_t family = (v >> 16) & 0xFF;
    if ((v & 0xFFFFFF00u) == 0x80211000u || (v & 0xFFFFFF00u) == 0x80212100u)
        return flashVariantFlag() ? 2 : 4;
    if (family == 0x20 || family == 0x21) return 2;
    if (family == 0x83 || family == 0x84 || family == 0x85) return 1;
    if ((v >> 16) == 0x1302) return 3;
    return std::nullopt;
}

std::string containerTargetPath(const PackageRecord& record, const std::string& entryName) {
    std::string path = "/flash";
    if (record.disabled) path += "/x/" + record.name;
    if (entryName.empty() || entryName[0] != '/') path += "/";
    path += entryName;
    return path;
}

bool isSafeEntryName(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name)
        if (c < 0x21) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        size_t end = slash == std::string::npos ? name.size() : slash;
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return true;
}

namespace {

bool entryMatchesMachine(uint8_t entryClass) {
    if (entryClass == 0) return true;
    std::optional<int> own = machineClass();
    return own && *own == entryClass;
}

// Copies size bytes of the inflated stream into the staged file.
bool copyEntryData(const PackageRecord& record, std::istream& source, std::ofstream& target,
                   uint32_t size, const std::string& entryName) {
    char buffer[kContainerCopyChunk];
    uint32_t left = size;
    while (left > 0) {
        uint32_t step = left < kContainerCopyChunk ? left : static_cast<uint32_t>(kContainerCopyChunk);
        if (!source.read(buffer, step)) {
            reportBrokenPackage(record);
            return false;
        }
        target.write(buffer, step);
        if (!target) {
            reportCreateFailure(record, entryName);
            return false;
        }
        left -= step;
    }
    return true;
}

}  // namespace

bool extractFileContainer(PackageRecord& record, FsTransaction& transaction, PartReader& reader) {
    InflateStream inflated(reader);
    for (;;) {
        uint8_t header[kContainerEntryHeaderSize];
        if (!inflated.read(reinterpret_cast<char*>(header), sizeof header)) return true;
        uint16_t mode = load16le(header);
        uint8_t entryClass = header[23];
        uint32_t size = load32le(header + 24);
        uint16_t nameLength = load16le(header + 28);

        std::string name(nameLength, '\0');
        if (nameLength != 0 && !inflated.read(&name[0], nameLength)) {
            reportBrokenPackage(record);
            return false;
        }
        // A hostile name could escape "/flash" or break the manifest's
        // space-separated lines; such a package is refused whole.
        if (!isSafeEntryName(name)) {
            reportBrokenPackage(record);
            return false;
        }
        std::string target = containerTargetPath(record, name);

        if ((mode & kModeTypeMask) != kModeRegularFile || !entryMatchesMachine(entryClass)) {
            inflated.seekg(size, std::ios::cur);
            continue;
        }

        std::ofstream out = createFile(transaction, target, size, mode);
        if (!out.is_open()) {
            reportCreateFailure(record, name);
            return false;
        }
        record.files.insert(target);
        if (!copyEntryData(record, inflated, out, size, name)) return false;
        out.close();
        if (out.fail()) {
            reportCreateFailure(record, name);
            return false;
        }
        showInstallProgress(record, reader);
    }
}
