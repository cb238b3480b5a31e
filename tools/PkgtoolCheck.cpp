#include "tools/PkgtoolCheck.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "InstallerPublicKeys.h"
#include "package/FileContainer.h"
#include "package/PackageHeader.h"
#include "package/PartReader.h"
#include "platform/ByteOrder.h"
#include "signature/SignatureVerifier.h"
#include "zstream/InflateStream.h"

namespace pkgtool {

namespace {

// Link texts longer than this are not shown; their bytes are skipped.
constexpr uint32_t kMaxShownLinkText = 4096;
// Fields of a container entry header.

// The installer's own list, with the text parts it passes over added so that
// they can be shown; the order of the header and metadata parts is the same.
const std::vector<uint32_t> kExaminedTypes = {
    kPartHeader,      kPartBundleHeader,  kPartDefaultOff,   kPartAuxText,  kPartArchitecture,
    kPartDescription, kPartNote,          kPartDependencies, kPartProvides, kPartConflicts,
    kPartImage,       kPartFileContainer, kPartSignature,
};

std::vector<PartSpan> walkPartHeaders(const std::string& bytes, uint64_t& strayBytes) {
    std::vector<PartSpan> parts;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    uint64_t offset = kFileHeaderSize;
    while (offset + kPartHeaderSize <= bytes.size()) {
        PartSpan span;
        span.type = load16le(data + offset);
        span.length = load32le(data + offset + kPartLengthOffset);
        span.offset = offset;
        uint64_t end = offset + kPartHeaderSize + span.length;
        span.truncated = end > bytes.size();
        parts.push_back(span);
        if (span.truncated) {
            strayBytes = 0;
            return parts;
        }
        offset = end;
    }
    strayBytes = offset < bytes.size() ? bytes.size() - offset : 0;
    return parts;
}

bool readExactly(std::istream& in, char* out, size_t n) {
    in.read(out, static_cast<std::streamsize>(n));
    return static_cast<size_t>(in.gcount()) == n;
}

// Lists the container the reader stands on; false when its entries do not
// decode to their declared sizes.
bool listContainer(PartReader& reader, std::vector<ContainerEntryInfo>& entries) {
    InflateStream inflate(reader);
    uint8_t header[kContainerEntryHeaderSize];
    while (readExactly(inflate, reinterpret_cast<char*>(header), sizeof header)) {
        ContainerEntryInfo entry;
        entry.mode = load16le(header + kContainerModeOffset);
        entry.machineClass = header[kContainerClassOffset];
        entry.size = load32le(header + kContainerSizeOffset);
        uint16_t nameLength = load16le(header + kContainerNameLengthOffset);
        entry.name.resize(nameLength);
        if (nameLength != 0 && !readExactly(inflate, &entry.name[0], nameLength)) return false;
        if ((entry.mode & kModeTypeMask) == kModeSymlink && entry.size <= kMaxShownLinkText) {
            entry.linkTarget.resize(entry.size);
            if (entry.size != 0 && !readExactly(inflate, &entry.linkTarget[0], entry.size))
                return false;
        } else if (entry.size != 0) {
            // The inflating stream only skips forward by reading; it fails past the end.
            inflate.seekg(static_cast<std::streamoff>(entry.size), std::ios_base::cur);
            if (inflate.fail()) return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

std::string typeText(int32_t type) {
    if (type < 0) return "the end of the file";
    return "a part of type " + std::to_string(type) + " (" +
           partTypeName(static_cast<uint16_t>(type)) + ")";
}

class Examiner {
public:
    Examiner(FileReport& report, const std::vector<PublicKey>& keys)
        : report_(report), keys_(keys) {}

    void run(const std::string& bytes) {
        std::istringstream source(bytes);
        PartReader reader(source, true, nullptr);
        if (reader.magic != kMagicRegular && reader.magic != kMagicUnrecorded) {
            problem("not a package file: the file header is missing or has an unknown magic");
            return;
        }
        if (report_.fileSize != reader.expectedSize)
            problem("the file is " + std::to_string(report_.fileSize) +
                    " bytes long but its header announces " + std::to_string(reader.expectedSize));
        reader.acceptedTypes = kExaminedTypes;
        reader.nextPart();
        if (reader.currentType == kPartBundleHeader) {
            bundle(reader);
        } else if (reader.currentType == kPartHeader) {
            if (package(reader) && reader.currentType != -1)
                problem("unsigned data after the signature: " + typeText(reader.currentType));
        } else {
            problem("the first part is " + typeText(reader.currentType) + ", not a package header");
        }
        // Parts of types the installer skips, and stray bytes, may follow the
        // last signature unnoticed by the installer; no signature vouches for them.
        if (report_.ok() && signedEnd_ < report_.fileSize)
            problem(std::to_string(report_.fileSize - signedEnd_) +
                    " bytes after the last signature are not covered by any signature");
    }

private:
    void problem(const std::string& text) { report_.problems.push_back(text); }

    void bundle(PartReader& reader) {
        report_.isBundle = true;
        report_.bundle = std::make_unique<PackageInfo>();
        if (!parsePackageHeader(*report_.bundle, reader)) {
            problem("the bundle header or its metadata is malformed");
            return;
        }
        if (reader.isUnrecorded()) problem("a bundle cannot be an unrecorded package");
        if (reader.currentType == kPartImage) reader.nextPart();
        if (reader.currentType == kPartDefaultOff) {
            std::vector<PackageRange> names;
            if (!readDependencyList(reader, names)) {
                problem("the default-off list is malformed");
                return;
            }
            for (const PackageRange& r : names) report_.defaultOff.push_back(r.name);
            reader.nextPart();
        }
        while (reader.currentType == kPartHeader) {
            if (!package(reader)) return;
        }
        if (report_.packages.empty()) problem("the bundle holds no member package");
        if (reader.currentType != -1)
            problem("expected a member package header but found " + typeText(reader.currentType));
    }

    // The reader stands on a type-1 header; on success it is left on the part
    // after the signature.
    bool package(PartReader& reader) {
        report_.packages.emplace_back();
        PackageReport& p = report_.packages.back();
        p.info = std::make_unique<PackageInfo>();
        const std::string which =
            report_.isBundle ? "member " + std::to_string(report_.packages.size()) : "package";
        if (!parsePackageHeader(*p.info, reader)) {
            problem("the header or metadata of " + which + " is malformed");
            return false;
        }
        p.headerParsed = true;
        const std::string named = which + " " + p.info->name;
        if (reader.currentType == kPartImage) {
            p.hasImage = true;
            p.imageSize = reader.partLength();
            reader.nextPart();
        }
        if (reader.currentType == kPartFileContainer) {
            p.hasContainer = true;
            p.containerIntact = listContainer(reader, p.entries);
            if (!p.containerIntact) problem("the file container of " + named + " is damaged");
            reader.nextPart();
        }
        if (reader.currentType != kPartSignature) {
            problem(named + " has no signature where one belongs (found " +
                    typeText(reader.currentType) + ")");
            return false;
        }
        std::unique_ptr<uint8_t[][kCurveKeySize]> keys(
            new uint8_t[keys_.size() + 1][kCurveKeySize]);
        for (size_t i = 0; i < keys_.size(); ++i)
            std::copy(keys_[i].begin(), keys_[i].end(), keys[i]);
        bool verified = SignatureVerifier::verify(reader.partBuffer(), keys.get(), keys_.size());
        p.signature = verified ? SignatureState::Verified : SignatureState::Failed;
        signedEnd_ = uint64_t(reader.partOffset()) + reader.partLength();
        if (!verified) problem("the signature of " + named + " does not verify");
        reader.nextPart();
        return true;
    }

    FileReport& report_;
    const std::vector<PublicKey>& keys_;
    // Offset just past the last signature part read.
    uint64_t signedEnd_ = 0;
};

}  // namespace

std::vector<PublicKey> builtInPublicKeys() {
    std::vector<PublicKey> keys(kInstallerPublicKeyCount);
    for (size_t i = 0; i < kInstallerPublicKeyCount; ++i)
        std::copy(kInstallerPublicKeys[i], kInstallerPublicKeys[i] + 32, keys[i].begin());
    return keys;
}

FileReport examinePackage(const std::string& bytes, const std::vector<PublicKey>& keys) {
    FileReport report;
    report.fileSize = bytes.size();
    if (bytes.size() >= kFileHeaderSize) {
        const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
        report.magic = load32le(data);
        report.lengthField = load32le(data + kFileLengthOffset);
        report.parts = walkPartHeaders(bytes, report.strayBytes);
    }
    Examiner(report, keys).run(bytes);
    return report;
}

bool packageVerifies(const std::string& bytes, const std::vector<PublicKey>& keys) {
    return examinePackage(bytes, keys).ok();
}

const char* partTypeName(uint16_t type) {
    switch (type) {
        case kPartHeader:
            return "header";
        case kPartDescription:
            return "description";
        case kPartDependencies:
            return "dependencies";
        case kPartFileContainer:
            return "file container";
        case kPartSignature:
            return "signature";
        case kPartArchitecture:
            return "architecture";
        case kPartConflicts:
            return "conflicts";
        case kPartBundleHeader:
            return "bundle header";
        case kPartProvides:
            return "provides";
        case kPartDefaultOff:
            return "default-off list";
        case kPartImage:
            return "image";
        case kPartNote:
            return "note";
        case kPartAuxText:
            return "auxiliary text";
        default:
            return "unknown, ignored by the installer";
    }
}

}  // namespace pkgtool
