#pragma once
// Writes package files and multi-package streams in the installer's format, for
// pkgtool, tests and benchmarks. Besides whole packages it exposes every building
// block (parts, headers, lists, containers, signatures) so that tests can write
// deliberately damaged output: wrong lengths, truncation, reordered or missing
// parts, corrupt container data.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/VersionNumber.h"
#include "package/PackageFormat.h"
#include "tools/Signer.h"

namespace pkgwriter {

enum class EntryType { File, Directory, Symlink };

struct ContainerFile {
    EntryType type = EntryType::File;
    std::string name;             // stored as given (with or without a leading "/")
    uint16_t permissions = 0644;  // permission bits; the type bits come from type
    uint8_t machineClass = 0;
    std::string data;  // file contents, or the link text for a symlink
};

// The mode word of an entry: type bits | (permissions & 07777).
uint16_t entryMode(const ContainerFile& file);
// One 30-byte entry header followed by the name and the data.
std::string buildContainerEntry(const ContainerFile& file);
// The decompressed entry sequence, before zlib.
std::string buildContainerEntries(const std::vector<ContainerFile>& files);
// A zlib stream (header, deflate data, Adler-32) of raw at the given level.
std::string zlibCompress(const std::string& raw, int level = 6);
// Raw bytes of a file container payload (zlib stream of entries).
std::string buildContainerPayload(const std::vector<ContainerFile>& files, int level = 6);

// A name in a fixed 16-byte field: zero-padded, cut after 16 bytes.
std::string nameField(const std::string& name);
// 32-byte header payload (plus the 4-byte flags word when flags is given).
std::string buildHeaderPayload(const std::string& name, VersionNumber version, uint32_t buildTime,
                               std::optional<uint32_t> flags = std::nullopt);
// count + 32-byte entries
std::string buildDependencyList(const std::vector<PackageRange>& entries);
// Dependency-list layout holding just names, as the default-off list of a
// multi-package stream carries them.
std::string buildNameList(const std::vector<std::string>& names);

struct PackageRecipe {
    std::string name;
    VersionNumber version = 0;
    uint32_t buildTime = 0;
    std::optional<uint32_t> flags;  // written as the optional 4-byte word when set
    bool unrecorded = false;        // file magic 0xA1100FFB
    std::optional<std::string> auxText;
    std::optional<std::string> architecture;  // no part 16 when absent
    std::optional<std::string> description;
    std::optional<std::string> note;
    // Lists are written when non-empty, or empty (count 0) with
    // forceEmptyDependencyParts.
    std::vector<PackageRange> dependencies;
    std::vector<PackageRange> provides;
    std::vector<PackageRange> conflicts;
    bool forceEmptyDependencyParts = false;
    std::optional<std::string> imagePart;  // payload of part 21
    bool hasContainer = true;              // part 4, even for no files
    std::vector<ContainerFile> files;
    int compressionLevel = 6;
    // Replaces the container built from files, e.g. with damaged zlib data; the
    // signature still covers it.
    std::optional<std::string> containerPayload;
    // Signature part: signed with the secret key when one is given; otherwise
    // the correct SHA-1 digest followed by 48 zero bytes.
    bool withSignature = true;
};

struct Part {
    uint16_t type;
    std::string payload;
};

// A 6-byte part header with an arbitrary length field.
std::string partHeader(uint16_t type, uint32_t length);
// An 8-byte file header: magic and an arbitrary length field.
std::string fileHeader(uint32_t magic, uint32_t length);
// Parts back to back, each behind its true header.
std::string serializeParts(const std::vector<Part>& parts);

// SHA-1 as the installer computes it at a signature part: from the header of the
// last type-1 part in partsBeforeSignature (or the first part when there is none)
// through the 6-byte header of a signature part of signatureLength bytes.
std::string packageDigest(const std::vector<Part>& partsBeforeSignature,
                          uint32_t signatureLength = kSignaturePayloadSize);
// The 68-byte signature payload for a digest; secretKey may be null.
std::string signaturePayload(const std::string& digest, const std::string* secretKey);
// Drops a trailing signature part, if any, and appends a fresh one computed over
// the parts now present; for tests that alter parts and want them signed again.
void signParts(std::vector<Part>& parts, const std::string* secretKey);

// The metadata parts of a header (types 24, 16, 2, 23, 3, 19, 17 when present).
std::vector<Part> buildMetadataParts(const PackageRecipe& recipe);
// The parts of one package (header through signature), without file header. The
// signature part is computed over the parts before it.
std::vector<Part> buildPackageParts(const PackageRecipe& recipe, const std::string* secretKey);
// A file of parts: file header with the given magic and, unless overridden, the
// true length of the parts.
std::string writePartsFile(const std::vector<Part>& parts, uint32_t magic = kMagicRegular,
                           std::optional<uint32_t> lengthOverride = std::nullopt);
// A complete package file.
std::string writePackage(const PackageRecipe& recipe, const std::string* secretKey = nullptr);

struct BundleRecipe {
    std::string name;
    VersionNumber version = 0;
    uint32_t buildTime = 0;
    std::optional<uint32_t> flags;
    std::optional<std::string> auxText;
    std::optional<std::string> architecture;
    std::optional<std::string> description;
    std::optional<std::string> note;
    std::vector<PackageRange> dependencies;
    std::vector<PackageRange> provides;
    std::vector<PackageRange> conflicts;
    std::optional<std::string> imagePart;  // bundles are kept whole when present
    std::vector<std::string> defaultOff;   // part 20, written when non-empty
    std::vector<PackageRecipe> members;
};

// The bundle's own parts: type 18 header, its metadata, 21 and 20 when present.
std::vector<Part> buildBundleHeaderParts(const BundleRecipe& recipe);
// A whole multi-package stream; each member carries its own signature.
std::string writeBundle(const BundleRecipe& recipe, const std::string* secretKey = nullptr);
// A bundle from already built member package files: each member's 8-byte file
// header is dropped and its parts, signature included, are kept as they are.
// recipe.members is not used.
std::string writeBundleFromFiles(const BundleRecipe& recipe,
                                 const std::vector<std::string>& memberFiles);

}  // namespace pkgwriter
