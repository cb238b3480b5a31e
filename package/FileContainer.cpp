#include "package/FileContainer.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>

#include <string>

#include "model/PackageReports.h"
#include "package/InstallProgress.h"
#include "package/PartReader.h"
#include "platform/ByteOrder.h"
#include "platform/FlashProbes.h"
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
    // One leading "/" is allowed; after it every component must name something
    // below its parent: no empty ones (doubled or trailing "/"), no "." or "..".
    size_t start = name[0] == '/' ? 1 : 0;
    for (;;) {
        size_t slash = name.find('/', start);
        size_t end = slash == std::string::npos ? name.size() : slash;
        size_t length = end - start;
        if (length == 0) return false;
        if (name[start] == '.' && (length == 1 || (length == 2 && name[start + 1] == '.')))
            return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

int targetPathError(const std::string& target, bool* missing) {
    if (missing != nullptr) *missing = false;
    if (target.size() >= PATH_MAX) return ENAMETOOLONG;
    size_t start = 0;
    while (start < target.size()) {
        size_t slash = target.find('/', start);
        size_t end = slash == std::string::npos ? target.size() : slash;
        if (end - start > NAME_MAX) return ENAMETOOLONG;
        start = end + 1;
    }
    // A file cannot take the place of a directory; the commit would fail to
    // rename onto it.
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) {
        if (missing != nullptr) *missing = errno == ENOENT;
        return 0;
    }
    return S_ISDIR(st.st_mode) ? EISDIR : 0;
}

namespace {

bool entryMatchesMachine(uint8_t entryClass) {
    if (entryClass == 0) return true;
    std::optional<int> own = machineClass();
    return own && *own == entryClass;
}

// Reports a staged file that could not be written, and keeps the fault in the
// transaction.
bool failToWrite(Reporter& reporter, const PackageRecord& record, FsTransaction& transaction,
                 const std::string& name, const std::string& target) {
    transaction.noteWriteFailure(target, errno);
    reportCreateFailure(reporter, record, name);
    return false;
}

// Copies size bytes of the inflated stream into the staged file, straight from
// the inflate window into the file's block.
bool copyEntryData(Reporter& reporter, const PackageRecord& record, FsTransaction& transaction,
                   InflateStream& source, OutputFile& out, uint32_t size,
                   const std::string& entryName, const std::string& target) {
    uint32_t left = size;
    while (left > 0) {
        const char* data = nullptr;
        size_t step = source.nextSpan(data, left);
        if (step == 0) {
            reportBrokenPackage(reporter, record);
            return false;
        }
        out.write(data, static_cast<std::streamsize>(step));
        if (!out) {
            if (out.writeError() != 0) errno = out.writeError();
            return failToWrite(reporter, record, transaction, entryName, target);
        }
        left -= static_cast<uint32_t>(step);
    }
    return true;
}

// Creates the staged file for one regular entry and copies its data through
// out, which serves every entry of the container in turn.
bool stageEntry(Reporter& reporter, PackageRecord& record, FsTransaction& transaction,
                InflateStream& inflated, OutputFile& out, const std::string& name,
                const std::string& target, uint32_t size, uint16_t mode) {
    // A path that can never be made is the package's fault, not the flash's;
    // so is a file where the package puts a folder, or the other way round.
    bool missing = false;
    int error = targetPathError(target, &missing);
    if (error == 0) error = transaction.stagedPathConflict(target);
    if (error != 0) {
        errno = error;
        reportCreateFailure(reporter, record, name);
        return false;
    }
    if (!createFile(transaction, target, size, mode, out)) {
        reportCreateFailure(reporter, record, name);
        return false;
    }
    record.files.insert(target);
    if (!copyEntryData(reporter, record, transaction, inflated, out, size, name, target))
        return false;
    if (!out.close()) return failToWrite(reporter, record, transaction, name, target);
    if (missing) transaction.noteNewFile(target, size);
    return true;
}

}  // namespace

bool extractFileContainer(Reporter& reporter, PackageRecord& record, FsTransaction& transaction,
                          PartReader& reader) {
    InflateStream inflated(reader);
    OutputFile out(kContainerCopyChunk);
    size_t staged = 0;
    for (;;) {
        uint8_t header[kContainerEntryHeaderSize];
        if (!inflated.read(reinterpret_cast<char*>(header), sizeof header)) {
            // Entries end with the data only when the zlib stream ended whole;
            // damage or a cut ends the data early, and the files that would have
            // followed are missing.
            if (inflated.complete()) return true;
            reportBrokenPackage(reporter, record);
            return false;
        }
        uint16_t mode = load16le(header + kContainerModeOffset);
        uint8_t entryClass = header[kContainerClassOffset];
        uint32_t size = load32le(header + kContainerSizeOffset);
        uint16_t nameLength = load16le(header + kContainerNameLengthOffset);

        std::string name(nameLength, '\0');
        if (nameLength != 0 && !inflated.read(&name[0], nameLength)) {
            reportBrokenPackage(reporter, record);
            return false;
        }
        // A hostile name could escape "/flash" or break the manifest's
        // space-separated lines; such a package is refused whole.
        if (!isSafeEntryName(name)) {
            reportBrokenPackage(reporter, record);
            return false;
        }
        std::string target = containerTargetPath(record, name);

        if ((mode & kModeTypeMask) != kModeRegularFile || !entryMatchesMachine(entryClass)) {
            inflated.seekg(size, std::ios::cur);
            continue;
        }

        // Each staged file costs memory for its entry and path: a hostile count
        // must not run the router out of it.
        if (++staged > kMaxContainerFiles) {
            reportBrokenPackage(reporter, record);
            return false;
        }
        if (!stageEntry(reporter, record, transaction, inflated, out, name, target, size, mode))
            return false;
        showInstallProgress(reporter, record, reader);
    }
}
