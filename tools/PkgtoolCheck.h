#pragma once
// Reads a package file or multi-package stream the way the installer does
// (part reader with hashing, header parsing, container, signature) and reports
// everything found, for pkgtool inspect, verify and bundle. Never throws and
// never reads beyond the given bytes, whatever they hold.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/PackageRecord.h"
#include "tools/Signer.h"

namespace pkgtool {

using PublicKey = std::array<uint8_t, pkgsign::kPublicKeySize>;

// The keys built into the installer by the build configuration.
std::vector<PublicKey> builtInPublicKeys();

// One part as it lies in the file, found by walking the part headers alone.
struct PartSpan {
    uint16_t type = 0;
    uint64_t offset = 0;     // of the 6-byte part header
    uint32_t length = 0;     // payload length as declared
    bool truncated = false;  // the payload runs past the end of the file
};

struct ContainerEntryInfo {
    uint16_t mode = 0;
    uint8_t machineClass = 0;
    uint32_t size = 0;
    std::string name;
    std::string linkTarget;  // for symbolic links
};

enum class SignatureState { Missing, Verified, Failed };

struct PackageReport {
    std::unique_ptr<PackageInfo> info;
    bool headerParsed = false;
    bool hasImage = false;
    uint32_t imageSize = 0;
    bool hasContainer = false;
    bool containerIntact = false;
    std::vector<ContainerEntryInfo> entries;
    SignatureState signature = SignatureState::Missing;
};

struct FileReport {
    uint64_t fileSize = 0;
    uint32_t magic = 0;
    uint32_t lengthField = 0;
    std::vector<PartSpan> parts;
    // Bytes after the last whole part header that do not form one.
    uint64_t strayBytes = 0;

    bool isBundle = false;
    std::unique_ptr<PackageInfo> bundle;  // the bundle's own header, when isBundle
    std::vector<std::string> defaultOff;
    // One report for a single package; one per member for a bundle.
    std::vector<PackageReport> packages;

    // Everything wrong with the file, as sentences; empty for a good package.
    std::vector<std::string> problems;
    bool ok() const { return problems.empty(); }
};

// Checks the signatures against keys (which must not be empty).
FileReport examinePackage(const std::string& bytes, const std::vector<PublicKey>& keys);
// Only the answer of examinePackage, for callers that need no details.
bool packageVerifies(const std::string& bytes, const std::vector<PublicKey>& keys);

const char* partTypeName(uint16_t type);

}  // namespace pkgtool
