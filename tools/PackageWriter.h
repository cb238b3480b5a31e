#pragma once
// Writes package files and multi-package streams in the installer's format, for
// pkgtool, tests and benchmarks. It can also write deliberately damaged output.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "planning/VersionNumber.h"

namespace pkgwriter {

enum class EntryType { File, Directory, Symlink };

struct ContainerFile {
    EntryType type = EntryType::File;
    std::string name;       // stored as given (with or without a leading "/")
    uint16_t permissions = 0644;  // permission bits; the type bits come from type
    uint8_t machineClass = 0;
    std::string data;       // file contents, or the link text for a symlink
};

// Raw bytes of a file container payload (zlib stream of entries).
std::string buildContainerPayload(const std::vector<ContainerFile>& files, int level = 6);
// The decompressed entry sequence, before zlib.
std::string buildContainerEntries(const std::vector<ContainerFile>& files);

// 32-byte header payload (plus the 4-byte flags word when flags is given).
std::string buildHeaderPayload(const std::string& name, VersionNumber version, uint32_t buildTime,
                               std::optional<uint32_t> flags = std::nullopt);
// count + 32-byte entries
std::string buildDependencyList(const std::vector<PackageRange>& entries);

struct PackageSpec {
    std::string name;
    VersionNumber version = 0;
    uint32_t buildTime = 0;
    std::optional<uint32_t> flags;  // written as the optional 4-byte word when set
    bool unrecorded = false;        // file magic 0xA1100FFB
    std::optional<std::string> auxText;
    std::optional<std::string> architecture;  // no part 16 when absent
    std::optional<std::string> description;
    std::optional<std::string> note;
    std::vector<PackageRange> dependencies;  // part 3 written when non-empty or forceDeps
    std::vector<PackageRange> provides;
    std::vector<PackageRange> conflicts;
    bool forceEmptyDependencyParts = false;
    std::optional<std::string> imagePart;  // payload of part 21
    bool hasContainer = true;
    std::vector<ContainerFile> files;
    int compressionLevel = 6;
    // Signature part: signed with signingKey when given; otherwise 68 bytes of
    // filler with the correct SHA-1 digest in front (enough until signing exists).
    bool withSignature = true;
};

struct Part {
    uint16_t type;
    std::string payload;
};

// The parts of one package (header through signature), without file header. The
// signature part is computed over the parts before it.
std::vector<Part> buildPackageParts(const PackageSpec& spec, const std::string* secretKey);
std::string serializeParts(const std::vector<Part>& parts);
// File header: magic and length; the length defaults to the body size.
std::string fileHeader(uint32_t magic, uint32_t length);
// A complete package file.
std::string writePackage(const PackageSpec& spec, const std::string* secretKey = nullptr);

struct BundleSpec {
    std::string name;
    VersionNumber version = 0;
    uint32_t buildTime = 0;
    std::optional<uint32_t> flags;
    std::vector<PackageRange> dependencies;
    std::vector<PackageRange> provides;
    std::vector<PackageRange> conflicts;
    std::optional<std::string> note;
    std::optional<std::string> imagePart;  // bundles are kept whole when present
    std::vector<std::string> defaultOff;   // part 20
    std::vector<PackageSpec> members;
};
std::string writeBundle(const BundleSpec& spec, const std::string* secretKey = nullptr);
// A bundle from already built member package files (each keeps its own signature).
std::string writeBundleFromFiles(const BundleSpec& spec, const std::vector<std::string>& memberFiles);

// SHA-1 over the parts as the installer hashes them (from the type-1 header
// through the signature part's header).
std::string packageDigest(const std::vector<Part>& partsBeforeSignature);

}  // namespace pkgwriter
