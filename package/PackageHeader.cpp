#include "package/PackageHeader.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "platform/ByteOrder.h"
#include "platform/FileInput.h"

namespace {

// The payload of the current part as text; false when it is longer than any
// real package's text, or cut short by the end of the data.
bool readText(PartReader& reader, std::string& text) {
    uint32_t length = reader.partLength();
    if (length > kMaxTextPartSize) return false;
    text.resize(length);
    if (length == 0) return true;
    reader.read(&text[0], static_cast<std::streamsize>(length));
    return static_cast<uint32_t>(reader.gcount()) == length;
}

// The text parts, each only when it is the current part, in their fixed order.
bool readTextParts(PackageInfo& target, PartReader& reader) {
    if (reader.currentType == kPartAuxText) {
        if (!readText(reader, target.auxText)) return false;
        reader.nextPart();
    }
    if (reader.currentType == kPartArchitecture) {
        if (!readText(reader, target.architecture)) return false;
        reader.nextPart();
    } else {
        target.architecture = "i386";
    }
    if (reader.currentType == kPartDescription) {
        if (!readText(reader, target.description)) return false;
        reader.nextPart();
    }
    if (reader.currentType == kPartNote) {
        if (!readText(reader, target.note)) return false;
        reader.nextPart();
    }
    return true;
}

bool readExactly(PartReader& reader, uint8_t* out, size_t n) {
    reader.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
    return static_cast<size_t>(reader.gcount()) == n;
}

}  // namespace

std::string nameFromField(const uint8_t* field) {
    const uint8_t* end = std::find(field, field + kNameFieldSize, 0);
    return std::string(reinterpret_cast<const char*>(field), static_cast<size_t>(end - field));
}

bool readDependencyList(PartReader& reader, std::vector<PackageRange>& list) {
    uint8_t countField[kListCountSize];
    if (!readExactly(reader, countField, sizeof countField)) return false;
    uint16_t count = load16le(countField);
    // Entry by entry: the count is only a promise until the entries arrive.
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t entry[kDependencyEntrySize];
        if (!readExactly(reader, entry, sizeof entry)) return false;
        PackageRange range;
        range.name = nameFromField(entry);
        range.min = load32le(entry + kEntryMinOffset);
        range.max = load32le(entry + kEntryMaxOffset);
        range.precedence = static_cast<int32_t>(load32le(entry + kEntryPrecedenceOffset));
        list.push_back(std::move(range));
    }
    return true;
}

bool parsePackageHeader(PackageInfo& target, PartReader& reader, bool* brokenText) {
    if (brokenText) *brokenText = false;
    if (reader.currentType != kPartHeader && reader.currentType != kPartBundleHeader) return false;
    target.isBundle = reader.currentType == kPartBundleHeader;

    uint8_t header[kHeaderPartSize];
    if (!readExactly(reader, header, sizeof header)) return false;
    target.name = nameFromField(header);
    target.version = load32le(header + kHeaderVersionOffset);
    target.buildTime = load32le(header + kHeaderBuildTimeOffset);

    // The flags word is optional. A blocking read bounded by the part is used
    // rather than asking what is available: on a pipe the word may not have
    // arrived yet and would be missed.
    uint32_t left = reader.partBuffer().remaining();
    size_t want = std::min<size_t>(kHeaderFlagsSize, left);
    if (want != 0) {
        uint8_t flagsField[kHeaderFlagsSize];
        reader.read(reinterpret_cast<char*>(flagsField), static_cast<std::streamsize>(want));
        if (static_cast<size_t>(reader.gcount()) == kHeaderFlagsSize) {
            target.flags = load32le(flagsField);
        } else {
            // Too short to be a flags word: consumed and ignored.
            reader.clear(reader.rdstate() & std::ios_base::badbit);
        }
    }
    reader.nextPart();

    if (!readTextParts(target, reader)) {
        if (brokenText) *brokenText = true;
        return false;
    }
    if (reader.currentType == kPartDependencies) {
        if (!readDependencyList(reader, target.dependencies)) return false;
        reader.nextPart();
    }
    if (reader.currentType == kPartProvides) {
        if (!readDependencyList(reader, target.provides)) return false;
        reader.nextPart();
    }
    if (reader.currentType == kPartConflicts) {
        if (!readDependencyList(reader, target.conflicts)) return false;
        reader.nextPart();
    }
    // The image part stays current: the installer decides what to do with it.
    if (reader.currentType == kPartImage) target.hasImagePart = true;
    return true;
}

namespace {

bool parsePackageFile(PackageFile& file, InputFile& in) {
    PartReader reader(in, true, nullptr);

    file.expectedSize = reader.expectedSize;
    struct stat st;
    if (fstat(in.fd(), &st) != 0 ||
        static_cast<uint64_t>(st.st_size) != static_cast<uint64_t>(file.expectedSize)) {
        return false;
    }
    file.kind = reader.isUnrecorded() ? PackageKind::Unrecorded : PackageKind::Regular;

    reader.acceptedTypes = {kPartBundleHeader, kPartHeader, kPartAuxText,      kPartArchitecture,
                            kPartDescription,  kPartNote,   kPartDependencies, kPartProvides,
                            kPartConflicts,    kPartImage};
    reader.nextPart();
    file.isBundle = reader.currentType == kPartBundleHeader;
    if (!parsePackageHeader(file, reader)) return false;
    if (!file.isBundle) return true;

    if (reader.currentType == kPartImage) reader.nextPart();
    while (reader.currentType == kPartHeader) {
        auto member = std::make_unique<PackageInfo>();
        if (!parsePackageHeader(*member, reader)) return false;
        file.members.push_back(std::move(member));
        if (reader.currentType == kPartImage) reader.nextPart();
    }
    return !file.members.empty();
}

}  // namespace

bool loadPackageFile(PackageFile& file, const std::string& path, bool* ioError) {
    file.path = path;
    if (ioError) *ioError = false;
    // A directory, a FIFO or a file that fails to read is no package.
    InputFile in;
    OpenResult opened = in.open(path);
    bool loaded = opened == OpenResult::Opened && parsePackageFile(file, in);
    bool faulty = (opened == OpenResult::Unreadable && errno != EISDIR && errno != EINVAL) ||
                  in.readError() != 0;
    if (ioError) *ioError = faulty;
    return loaded && !faulty;
}
