// The writer's output read back by independent means: a byte-level part walk
// written here, zlib's own inflate and OpenSSL's SHA-1.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "tools/PackageWriter.h"
#include "tools/Signer.h"

namespace {

using pkgwriter::ContainerFile;
using pkgwriter::EntryType;
using pkgwriter::PackageRecipe;

uint32_t le32(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

struct WalkedPart {
    uint16_t type;
    size_t headerOffset;  // of the 6-byte part header in the file
    std::string payload;
};

// Walks the parts after the 8-byte file header; fails the test on a part that
// runs past the end.
std::vector<WalkedPart> walk(const std::string& file) {
    std::vector<WalkedPart> parts;
    size_t at = 8;
    while (at < file.size()) {
        EXPECT_LE(at + 6, file.size());
        if (at + 6 > file.size()) break;
        uint16_t type = le16(file, at);
        uint32_t length = le32(file, at + 2);
        EXPECT_LE(at + 6 + length, file.size());
        parts.push_back({type, at, file.substr(at + 6, length)});
        at += 6 + length;
    }
    return parts;
}

std::vector<uint16_t> types(const std::vector<WalkedPart>& parts) {
    std::vector<uint16_t> out;
    for (const WalkedPart& p : parts) out.push_back(p.type);
    return out;
}

std::string sha1(const std::string& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), md, &n, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char*>(md), n);
}

std::string inflateAll(const std::string& compressed, size_t expectedSize) {
    uLongf size = expectedSize + 16;
    std::string out(size, '\0');
    int rc = uncompress(reinterpret_cast<Bytef*>(&out[0]), &size,
                        reinterpret_cast<const Bytef*>(compressed.data()), compressed.size());
    EXPECT_EQ(rc, Z_OK);
    out.resize(size);
    return out;
}

struct ParsedEntry {
    uint16_t mode;
    uint8_t machineClass;
    std::string name;
    std::string data;
    bool reservedZero;
};

std::vector<ParsedEntry> parseEntries(const std::string& raw) {
    std::vector<ParsedEntry> out;
    size_t at = 0;
    while (at + 30 <= raw.size()) {
        ParsedEntry e;
        e.mode = le16(raw, at);
        e.reservedZero = raw.compare(at + 2, 21, std::string(21, '\0')) == 0;
        e.machineClass = static_cast<uint8_t>(raw[at + 23]);
        uint32_t size = le32(raw, at + 24);
        uint16_t nameLength = le16(raw, at + 28);
        e.name = raw.substr(at + 30, nameLength);
        e.data = raw.substr(at + 30 + nameLength, size);
        at += 30 + nameLength + size;
        out.push_back(e);
    }
    EXPECT_EQ(at, raw.size());
    return out;
}

std::string field16(const std::string& name) {
    std::string f = name;
    f.resize(16, '\0');
    return f;
}

PackageRecipe fullRecipe() {
    PackageRecipe s;
    s.name = "routing";
    s.version = makeVersion(6, 41, 'f', 2);
    s.buildTime = 1700000000;
    s.flags = 3;
    s.auxText = "aux";
    s.architecture = "mipsbe";
    s.description = "dynamic routing";
    s.note = "a note";
    s.dependencies = {{"system", makeVersion(6, 41, 'f', 0), makeVersion(6, 41, 'f', 255), 7}};
    s.provides = {{"routing-ng", 1, 2, -1}};
    s.conflicts = {{"oldrouting", 0, 0, 0}, {"exactly16chars!!", 5, 0, 0}};
    s.imagePart = std::string("IMG\0DATA", 8);
    s.files = {
        {EntryType::Directory, "/nova/bin", 0755, 0, ""},
        {EntryType::File, "nova/bin/routed", 0755, 0, std::string(70000, 'r') + "end"},
        {EntryType::Symlink, "/nova/bin/rd", 0777, 0, "routed"},
        {EntryType::File, "/etc/empty", 0600, 3, ""},
    };
    return s;
}

TEST(PackageWriter, FullPackageHasHeaderPartsInOrderAndCorrectLengths) {
    std::string file = pkgwriter::writePackage(fullRecipe());
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(le32(file, 0), 0xBAD0F11Eu);
    EXPECT_EQ(le32(file, 4), file.size() - 8);
    auto parts = walk(file);
    EXPECT_EQ(types(parts), (std::vector<uint16_t>{1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9}));

    const std::string& header = parts[0].payload;
    ASSERT_EQ(header.size(), 36u);
    EXPECT_EQ(header.substr(0, 16), field16("routing"));
    EXPECT_EQ(le32(header, 16), 0x06296602u);
    EXPECT_EQ(le32(header, 20), 1700000000u);
    EXPECT_EQ(header.substr(24, 8), std::string(8, '\0'));
    EXPECT_EQ(le32(header, 32), 3u);

    EXPECT_EQ(parts[1].payload, "aux");
    EXPECT_EQ(parts[2].payload, "mipsbe");
    EXPECT_EQ(parts[3].payload, "dynamic routing");
    EXPECT_EQ(parts[4].payload, "a note");
    EXPECT_EQ(parts[8].payload, std::string("IMG\0DATA", 8));

    const std::string& deps = parts[5].payload;
    ASSERT_EQ(deps.size(), 2u + 32u);
    EXPECT_EQ(le16(deps, 0), 1);
    EXPECT_EQ(deps.substr(2, 16), field16("system"));
    EXPECT_EQ(le32(deps, 18), 0x06296600u);
    EXPECT_EQ(le32(deps, 22), 0u);
    EXPECT_EQ(le32(deps, 26), 0x062966FFu);
    EXPECT_EQ(le32(deps, 30), 7u);
    EXPECT_EQ(le32(parts[6].payload, 30), 0xFFFFFFFFu);  // precedence -1
    const std::string& conflicts = parts[7].payload;
    ASSERT_EQ(conflicts.size(), 2u + 64u);
    EXPECT_EQ(le16(conflicts, 0), 2);
    EXPECT_EQ(conflicts.substr(34, 16), "exactly16chars!!");
    EXPECT_EQ(le32(conflicts, 34 + 16), 5u);
}

TEST(PackageWriter, MinimalPackageWritesOnlyWhatIsGiven) {
    PackageRecipe s;
    s.name = "tiny";
    auto parts = walk(pkgwriter::writePackage(s));
    EXPECT_EQ(types(parts), (std::vector<uint16_t>{1, 4, 9}));
    EXPECT_EQ(parts[0].payload.size(), 32u);
    // an empty container is still a complete zlib stream
    EXPECT_EQ(inflateAll(parts[1].payload, 0), "");

    s.hasContainer = false;
    s.forceEmptyDependencyParts = true;
    s.unrecorded = true;
    std::string file = pkgwriter::writePackage(s);
    EXPECT_EQ(le32(file, 0), 0xA1100FFBu);
    parts = walk(file);
    EXPECT_EQ(types(parts), (std::vector<uint16_t>{1, 3, 19, 17, 9}));
    EXPECT_EQ(parts[1].payload, std::string(2, '\0'));

    s.withSignature = false;
    EXPECT_EQ(types(walk(pkgwriter::writePackage(s))), (std::vector<uint16_t>{1, 3, 19, 17}));
}

TEST(PackageWriter, ContainerInflatesToTheEntriesGiven) {
    PackageRecipe recipe = fullRecipe();
    auto parts = walk(pkgwriter::writePackage(recipe));
    ASSERT_EQ(parts[9].type, 4);
    const std::string& container = parts[9].payload;
    EXPECT_EQ(static_cast<unsigned char>(container[0]) & 0x0F, 8);  // zlib: deflate method
    EXPECT_EQ(((static_cast<unsigned char>(container[0]) << 8) |
               static_cast<unsigned char>(container[1])) %
                  31,
              0);
    auto entries = parseEntries(inflateAll(container, 71000));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].mode, 0x4000 | 0755);
    EXPECT_EQ(entries[0].name, "/nova/bin");
    EXPECT_EQ(entries[1].mode, 0x8000 | 0755);
    EXPECT_EQ(entries[1].name, "nova/bin/routed");
    EXPECT_EQ(entries[1].data, recipe.files[1].data);
    EXPECT_EQ(entries[2].mode, 0xA000 | 0777);
    EXPECT_EQ(entries[2].data, "routed");
    EXPECT_EQ(entries[3].mode, 0x8000 | 0600);
    EXPECT_EQ(entries[3].machineClass, 3);
    EXPECT_EQ(entries[3].data, "");
    for (const ParsedEntry& e : entries) EXPECT_TRUE(e.reservedZero) << e.name;
}

TEST(PackageWriter, SignatureDigestCoversHeaderThroughSignaturePartHeader) {
    std::string file = pkgwriter::writePackage(fullRecipe());
    auto parts = walk(file);
    const WalkedPart& sig = parts.back();
    ASSERT_EQ(sig.type, 9);
    ASSERT_EQ(sig.payload.size(), 68u);
    std::string expected = sha1(file.substr(8, sig.headerOffset + 6 - 8));
    EXPECT_EQ(sig.payload.substr(0, 20), expected);
    EXPECT_EQ(sig.payload.substr(20), std::string(48, '\0'));

    // A different byte anywhere in the covered range changes the digest.
    PackageRecipe other = fullRecipe();
    other.files[1].data.back() = 'X';
    EXPECT_NE(walk(pkgwriter::writePackage(other)).back().payload.substr(0, 20), expected);
}

TEST(PackageWriter, SignedPackageCarriesTheSignersPayload) {
    std::string key = pkgsign::developmentSecretKey();
    std::string file = pkgwriter::writePackage(fullRecipe(), &key);
    auto parts = walk(file);
    const WalkedPart& sig = parts.back();
    ASSERT_EQ(sig.payload.size(), 68u);
    EXPECT_EQ(sig.payload.substr(0, 20), sha1(file.substr(8, sig.headerOffset + 6 - 8)));
}

TEST(PackageWriter, DamageHelpersKeepOrBreakWhatTheySay) {
    PackageRecipe recipe = fullRecipe();
    auto parts = pkgwriter::buildPackageParts(recipe, nullptr);
    EXPECT_EQ(pkgwriter::writePartsFile(parts), pkgwriter::writePackage(recipe));

    std::string wrongLength = pkgwriter::writePartsFile(parts, 0xBAD0F11Eu, 12345u);
    EXPECT_EQ(le32(wrongLength, 4), 12345u);
    EXPECT_EQ(wrongLength.substr(8), pkgwriter::serializeParts(parts));
    EXPECT_EQ(pkgwriter::fileHeader(0x01020304u, 7), std::string("\x04\x03\x02\x01\x07\0\0\0", 8));
    EXPECT_EQ(pkgwriter::partHeader(0x0115, 0x10000), std::string("\x15\x01\0\0\x01\0", 6));

    // A replaced container is signed again over its new bytes.
    ASSERT_EQ(parts[9].type, kPartFileContainer);
    parts[9].payload[parts[9].payload.size() / 2] ^= 0x40;
    pkgwriter::signParts(parts, nullptr);
    ASSERT_EQ(parts.size(), 11u);
    std::string file = pkgwriter::writePartsFile(parts);
    auto walked = walk(file);
    EXPECT_EQ(walked.back().payload.substr(0, 20),
              sha1(file.substr(8, walked.back().headerOffset + 6 - 8)));

    PackageRecipe damaged = fullRecipe();
    damaged.containerPayload = "not zlib";
    auto damagedParts = walk(pkgwriter::writePackage(damaged));
    EXPECT_EQ(damagedParts[9].payload, "not zlib");

    // A digest for a longer signature part covers that part's own length field.
    auto noSig = pkgwriter::buildPackageParts(recipe, nullptr);
    noSig.pop_back();
    std::string body = pkgwriter::serializeParts(noSig);
    EXPECT_EQ(pkgwriter::packageDigest(noSig, 100),
              sha1(body + std::string("\x09\x00\x64\x00\x00\x00", 6)));
}

TEST(PackageWriter, BundleCarriesItsHeaderPartsThenSignedMembers) {
    pkgwriter::BundleRecipe bundle;
    bundle.name = "suite";
    bundle.version = makeVersion(6, 41, 'f', 0);
    bundle.architecture = "mipsbe";
    bundle.dependencies = {{"base", 1, 0, 0}};
    bundle.imagePart = "whole";
    bundle.defaultOff = {"extra"};
    PackageRecipe a;
    a.name = "core";
    a.files = {{EntryType::File, "bin/a", 0755, 0, "aaa"}};
    PackageRecipe b;
    b.name = "extra";
    b.architecture = "mipsbe";
    bundle.members = {a, b};

    std::string stream = pkgwriter::writeBundle(bundle);
    EXPECT_EQ(le32(stream, 0), 0xBAD0F11Eu);
    EXPECT_EQ(le32(stream, 4), stream.size() - 8);
    auto parts = walk(stream);
    EXPECT_EQ(types(parts), (std::vector<uint16_t>{18, 16, 3, 21, 20, 1, 4, 9, 1, 16, 4, 9}));
    EXPECT_EQ(parts[0].payload.substr(0, 16), field16("suite"));
    const std::string& off = parts[4].payload;
    ASSERT_EQ(off.size(), 34u);
    EXPECT_EQ(le16(off, 0), 1);
    EXPECT_EQ(off.substr(2, 32), field16("extra") + std::string(16, '\0'));

    // Each member's digest starts at its own package header.
    for (size_t sigIndex : {size_t(7), size_t(11)}) {
        size_t from = parts[sigIndex == 7 ? 5 : 8].headerOffset;
        size_t to = parts[sigIndex].headerOffset + 6;
        EXPECT_EQ(parts[sigIndex].payload.substr(0, 20), sha1(stream.substr(from, to - from)));
    }

    // Over a run of parts the digest starts at the last package header, as the
    // installer's hash restarts there.
    auto run = pkgwriter::buildBundleHeaderParts(bundle);
    auto memberParts = pkgwriter::buildPackageParts(a, nullptr);
    run.insert(run.end(), memberParts.begin(), memberParts.end() - 1);
    EXPECT_EQ(pkgwriter::packageDigest(run), parts[7].payload.substr(0, 20));

    // Built from member files, the stream is the same byte for byte.
    std::string fromFiles = pkgwriter::writeBundleFromFiles(
        bundle, {pkgwriter::writePackage(a), pkgwriter::writePackage(b)});
    EXPECT_EQ(fromFiles, stream);
}

}  // namespace
