#include "tools/PackageWriter.h"

#include <openssl/evp.h>
#include <zlib.h>

#include "platform/ByteOrder.h"
#include "platform/Sha1.h"
#include "tools/Signer.h"

namespace pkgwriter {

namespace {

uint8_t* bytes(std::string& s) {
    return reinterpret_cast<uint8_t*>(&s[0]);
}

void appendU16(std::string& out, uint16_t v) {
    std::string b(2, '\0');
    store16le(bytes(b), v);
    out += b;
}

void appendU32(std::string& out, uint32_t v) {
    std::string b(4, '\0');
    store32le(bytes(b), v);
    out += b;
}

void addText(std::vector<Part>& parts, uint16_t type, const std::optional<std::string>& text) {
    if (text) parts.push_back({type, *text});
}

void addList(std::vector<Part>& parts, uint16_t type, const std::vector<PackageRange>& list,
             bool force) {
    if (force || !list.empty()) parts.push_back({type, buildDependencyList(list)});
}

}  // namespace

uint16_t entryMode(const ContainerFile& file) {
    uint16_t typeBits = kModeRegularFile;
    if (file.type == EntryType::Directory) typeBits = kModeDirectory;
    if (file.type == EntryType::Symlink) typeBits = kModeSymlink;
    return static_cast<uint16_t>(typeBits | (file.permissions & kModePermissionMask));
}

std::string buildContainerEntry(const ContainerFile& file) {
    std::string header(kContainerEntryHeaderSize, '\0');
    uint8_t* h = bytes(header);
    store16le(h + kContainerModeOffset, entryMode(file));
    h[kContainerClassOffset] = file.machineClass;
    store32le(h + kContainerSizeOffset, static_cast<uint32_t>(file.data.size()));
    store16le(h + kContainerNameLengthOffset, static_cast<uint16_t>(file.name.size()));
    return header + file.name + file.data;
}

std::string buildContainerEntries(const std::vector<ContainerFile>& files) {
    std::string out;
    for (const ContainerFile& file : files) out += buildContainerEntry(file);
    return out;
}

std::string zlibCompress(const std::string& raw, int level) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    int rc = compress2(bytes(out), &size, reinterpret_cast<const Bytef*>(raw.data()),
                       static_cast<uLong>(raw.size()), level);
    if (rc != Z_OK) return std::string();
    out.resize(size);
    return out;
}

std::string buildContainerPayload(const std::vector<ContainerFile>& files, int level) {
    return zlibCompress(buildContainerEntries(files), level);
}

std::string nameField(const std::string& name) {
    std::string field = name.substr(0, kNameFieldSize);
    field.resize(kNameFieldSize, '\0');
    return field;
}

std::string buildHeaderPayload(const std::string& name, VersionNumber version, uint32_t buildTime,
                               std::optional<uint32_t> flags) {
    std::string out = nameField(name);
    appendU32(out, version);
    appendU32(out, buildTime);
    out.append(kHeaderPartSize - out.size(), '\0');
    if (flags) appendU32(out, *flags);
    return out;
}

std::string buildDependencyList(const std::vector<PackageRange>& entries) {
    std::string out;
    appendU16(out, static_cast<uint16_t>(entries.size()));
    for (const PackageRange& range : entries) {
        out += nameField(range.name);
        appendU32(out, range.min);
        appendU32(out, 0);  // not read by the installer
        appendU32(out, range.max);
        appendU32(out, static_cast<uint32_t>(range.precedence));
    }
    return out;
}

std::string buildNameList(const std::vector<std::string>& names) {
    std::vector<PackageRange> entries;
    for (const std::string& name : names) entries.push_back({name, 0, 0, 0});
    return buildDependencyList(entries);
}

std::string partHeader(uint16_t type, uint32_t length) {
    std::string out;
    appendU16(out, type);
    appendU32(out, length);
    return out;
}

std::string fileHeader(uint32_t magic, uint32_t length) {
    std::string out;
    appendU32(out, magic);
    appendU32(out, length);
    return out;
}

std::string serializeParts(const std::vector<Part>& parts) {
    std::string out;
    for (const Part& part : parts) {
        out += partHeader(part.type, static_cast<uint32_t>(part.payload.size()));
        out += part.payload;
    }
    return out;
}

std::string packageDigest(const std::vector<Part>& partsBeforeSignature, uint32_t signatureLength) {
    // The installer's hash starts afresh at every package header.
    size_t first = 0;
    for (size_t i = 0; i < partsBeforeSignature.size(); ++i) {
        if (partsBeforeSignature[i].type == kPartHeader) first = i;
    }
    std::vector<Part> covered(partsBeforeSignature.begin() + static_cast<std::ptrdiff_t>(first),
                              partsBeforeSignature.end());
    std::string message = serializeParts(covered) + partHeader(kPartSignature, signatureLength);

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(message.data(), message.size(), digest, &size, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), SHA1::kDigestSize);
}

std::string signaturePayload(const std::string& digest, const std::string* secretKey) {
    if (secretKey) {
        return pkgsign::signDigest(*secretKey, reinterpret_cast<const uint8_t*>(digest.data()));
    }
    std::string out = digest.substr(0, SHA1::kDigestSize);
    out.resize(kSignaturePayloadSize, '\0');
    return out;
}

void signParts(std::vector<Part>& parts, const std::string* secretKey) {
    if (!parts.empty() && parts.back().type == kPartSignature) parts.pop_back();
    std::string digest = packageDigest(parts, kSignaturePayloadSize);
    parts.push_back({kPartSignature, signaturePayload(digest, secretKey)});
}

std::vector<Part> buildMetadataParts(const PackageRecipe& recipe) {
    std::vector<Part> parts;
    addText(parts, kPartAuxText, recipe.auxText);
    addText(parts, kPartArchitecture, recipe.architecture);
    addText(parts, kPartDescription, recipe.description);
    addText(parts, kPartNote, recipe.note);
    bool force = recipe.forceEmptyDependencyParts;
    addList(parts, kPartDependencies, recipe.dependencies, force);
    addList(parts, kPartProvides, recipe.provides, force);
    addList(parts, kPartConflicts, recipe.conflicts, force);
    return parts;
}

std::vector<Part> buildPackageParts(const PackageRecipe& recipe, const std::string* secretKey) {
    std::vector<Part> parts;
    parts.push_back({kPartHeader, buildHeaderPayload(recipe.name, recipe.version, recipe.buildTime,
                                                     recipe.flags)});
    for (Part& part : buildMetadataParts(recipe)) parts.push_back(std::move(part));
    addText(parts, kPartImage, recipe.imagePart);
    if (recipe.hasContainer) {
        parts.push_back({kPartFileContainer,
                         recipe.containerPayload
                             ? *recipe.containerPayload
                             : buildContainerPayload(recipe.files, recipe.compressionLevel)});
    }
    if (recipe.withSignature) signParts(parts, secretKey);
    return parts;
}

std::string writePartsFile(const std::vector<Part>& parts, uint32_t magic,
                           std::optional<uint32_t> lengthOverride) {
    std::string body = serializeParts(parts);
    uint32_t length = lengthOverride ? *lengthOverride : static_cast<uint32_t>(body.size());
    return fileHeader(magic, length) + body;
}

std::string writePackage(const PackageRecipe& recipe, const std::string* secretKey) {
    return writePartsFile(buildPackageParts(recipe, secretKey),
                          recipe.unrecorded ? kMagicUnrecorded : kMagicRegular);
}

std::vector<Part> buildBundleHeaderParts(const BundleRecipe& recipe) {
    PackageRecipe header;
    header.auxText = recipe.auxText;
    header.architecture = recipe.architecture;
    header.description = recipe.description;
    header.note = recipe.note;
    header.dependencies = recipe.dependencies;
    header.provides = recipe.provides;
    header.conflicts = recipe.conflicts;

    std::vector<Part> parts;
    parts.push_back({kPartBundleHeader, buildHeaderPayload(recipe.name, recipe.version,
                                                           recipe.buildTime, recipe.flags)});
    for (Part& part : buildMetadataParts(header)) parts.push_back(std::move(part));
    addText(parts, kPartImage, recipe.imagePart);
    if (!recipe.defaultOff.empty())
        parts.push_back({kPartDefaultOff, buildNameList(recipe.defaultOff)});
    return parts;
}

std::string writeBundle(const BundleRecipe& recipe, const std::string* secretKey) {
    std::vector<Part> parts = buildBundleHeaderParts(recipe);
    for (const PackageRecipe& member : recipe.members) {
        for (Part& part : buildPackageParts(member, secretKey)) parts.push_back(std::move(part));
    }
    return writePartsFile(parts);
}

std::string writeBundleFromFiles(const BundleRecipe& recipe,
                                 const std::vector<std::string>& memberFiles) {
    std::string body = serializeParts(buildBundleHeaderParts(recipe));
    for (const std::string& file : memberFiles) {
        if (file.size() > kFileHeaderSize) body += file.substr(kFileHeaderSize);
    }
    return fileHeader(kMagicRegular, static_cast<uint32_t>(body.size())) + body;
}

}  // namespace pkgwriter
