// Packages written by the writer, read back through the installer's own part
// reader, header parser and inflating stream.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "package/PackageHeader.h"
#include "package/PartReader.h"
#include "signature/SignatureVerifier.h"
#include "support/Sandbox.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"
#include "zstream/InflateStream.h"

namespace {

using pkgwriter::ContainerFile;
using pkgwriter::EntryType;
using pkgwriter::PackageRecipe;

PackageRecipe sampleRecipe(const std::string& name) {
    PackageRecipe s;
    s.name = name;
    s.version = makeVersion(7, 1, 'f', 3);
    s.buildTime = 1650000000;
    s.flags = 2;
    s.auxText = "aux text";
    s.architecture = "powerpc";
    s.description = "a package";
    s.note = "note";
    s.dependencies = {{"system", makeVersion(7, 1, 'f', 0), makeVersion(7, 1, 'f', 9), 4}};
    s.provides = {{name + "-api", 1, 1, 0}};
    s.conflicts = {{"legacy", 0, makeVersion(6, 0, 'f', 0), -2}};
    s.files = {
        {EntryType::Directory, "/lib/" + name, 0755, 0, ""},
        {EntryType::File, "lib/" + name + "/data.bin", 0644, 0, std::string(9000, 'd') + "!"},
        {EntryType::Symlink, "/lib/" + name + "/link", 0777, 0, "data.bin"},
        {EntryType::File, "/etc/" + name + ".conf", 0600, 2, "key=value\n"},
    };
    return s;
}

void expectSameRange(const PackageRange& a, const PackageRange& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.min, b.min);
    EXPECT_EQ(a.max, b.max);
    EXPECT_EQ(a.precedence, b.precedence);
}

TEST(WriterRoundTrip, LoadPackageFileSeesEveryHeaderField) {
    testsupport::TempDir dir;
    PackageRecipe recipe = sampleRecipe("routing");
    recipe.imagePart = "image";
    std::string path = dir / "routing.npk";
    testsupport::writeFile(path, pkgwriter::writePackage(recipe));

    PackageFile file;
    ASSERT_TRUE(loadPackageFile(file, path));
    EXPECT_EQ(file.name, "routing");
    EXPECT_EQ(file.version, recipe.version);
    EXPECT_EQ(file.buildTime, recipe.buildTime);
    EXPECT_EQ(file.flags, 2u);
    EXPECT_EQ(file.auxText, "aux text");
    EXPECT_EQ(file.architecture, "powerpc");
    EXPECT_EQ(file.description, "a package");
    EXPECT_EQ(file.note, "note");
    EXPECT_TRUE(file.hasImagePart);
    EXPECT_FALSE(file.isBundle);
    EXPECT_EQ(file.kind, PackageKind::Regular);
    EXPECT_EQ(file.expectedSize, testsupport::readFile(path).size());
    ASSERT_EQ(file.dependencies.size(), 1u);
    expectSameRange(file.dependencies[0], recipe.dependencies[0]);
    ASSERT_EQ(file.provides.size(), 1u);
    expectSameRange(file.provides[0], recipe.provides[0]);
    ASSERT_EQ(file.conflicts.size(), 1u);
    expectSameRange(file.conflicts[0], recipe.conflicts[0]);
}

TEST(WriterRoundTrip, UnrecordedKindAndWrongLengthAreSeen) {
    testsupport::TempDir dir;
    PackageRecipe recipe = sampleRecipe("tool");
    recipe.unrecorded = true;
    testsupport::writeFile(dir / "u.npk", pkgwriter::writePackage(recipe));
    PackageFile unrecorded;
    ASSERT_TRUE(loadPackageFile(unrecorded, dir / "u.npk"));
    EXPECT_EQ(unrecorded.kind, PackageKind::Unrecorded);

    auto parts = pkgwriter::buildPackageParts(sampleRecipe("tool"), nullptr);
    uint32_t trueLength = static_cast<uint32_t>(pkgwriter::serializeParts(parts).size());
    testsupport::writeFile(dir / "w.npk",
                           pkgwriter::writePartsFile(parts, kMagicRegular, trueLength + 1));
    PackageFile wrong;
    EXPECT_FALSE(loadPackageFile(wrong, dir / "w.npk"));
}

TEST(WriterRoundTrip, MetadataOutOfOrderEndsTheHeaderParse) {
    PackageRecipe recipe = sampleRecipe("odd");
    auto parts = pkgwriter::buildPackageParts(recipe, nullptr);
    // move the architecture part (index 2) behind the conflicts list (index 7)
    ASSERT_EQ(parts[2].type, kPartArchitecture);
    pkgwriter::Part arch = parts[2];
    parts.erase(parts.begin() + 2);
    parts.insert(parts.begin() + 7, arch);
    std::istringstream source(pkgwriter::writePartsFile(parts));
    PartReader reader(source, true, nullptr);
    reader.acceptedTypes = {18, 1, 24, 16, 2, 23, 3, 19, 17, 21};
    ASSERT_EQ(reader.nextPart(), 1);
    PackageInfo info;
    EXPECT_TRUE(parsePackageHeader(info, reader));
    EXPECT_EQ(reader.currentType, 16);
    EXPECT_EQ(info.architecture, "i386");
    EXPECT_EQ(info.conflicts.size(), 1u);
}

// Reads the container entries through the installer's inflating stream.
std::vector<ContainerFile> readContainer(PartReader& reader) {
    std::vector<ContainerFile> out;
    InflateStream in(reader);
    char header[kContainerEntryHeaderSize];
    while (in.read(header, sizeof header)) {
        const auto* h = reinterpret_cast<const uint8_t*>(header);
        ContainerFile f;
        uint16_t mode = static_cast<uint16_t>(h[0] | (h[1] << 8));
        f.type = (mode & 0xF000) == 0x4000   ? EntryType::Directory
                 : (mode & 0xF000) == 0xA000 ? EntryType::Symlink
                                             : EntryType::File;
        f.permissions = mode & 07777;
        f.machineClass = h[23];
        uint32_t size = h[24] | (h[25] << 8) | (h[26] << 16) | (static_cast<uint32_t>(h[27]) << 24);
        f.name.resize(h[28] | (h[29] << 8));
        f.data.resize(size);
        EXPECT_TRUE(in.read(&f.name[0], f.name.size()));
        EXPECT_TRUE(in.read(&f.data[0], f.data.size()));
        out.push_back(f);
    }
    return out;
}

void expectSameFiles(const std::vector<ContainerFile>& got,
                     const std::vector<ContainerFile>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].type, want[i].type) << i;
        EXPECT_EQ(got[i].permissions, want[i].permissions) << i;
        EXPECT_EQ(got[i].machineClass, want[i].machineClass) << i;
        EXPECT_EQ(got[i].name, want[i].name) << i;
        EXPECT_EQ(got[i].data, want[i].data) << i;
    }
}

// At a signature part the reader's running hash must equal the digest the
// writer put in front of the signature.
void expectDigestMatches(PartReader& reader) {
    uint8_t digest[SHA1::kDigestSize];
    reader.partBuffer().takeDigest(digest);
    std::string payload(reader.partLength(), '\0');
    ASSERT_TRUE(reader.read(&payload[0], payload.size()));
    EXPECT_EQ(payload.substr(0, 20), std::string(reinterpret_cast<char*>(digest), 20));
}

TEST(WriterRoundTrip, StreamReaderInflatesContainerAndHashesToTheSignedDigest) {
    PackageRecipe recipe = sampleRecipe("net");
    recipe.imagePart = "IMAGE";
    std::istringstream source(pkgwriter::writePackage(recipe));
    PartReader reader(source, true, nullptr);
    reader.acceptedTypes = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
    ASSERT_EQ(reader.nextPart(), 1);
    PackageInfo info;
    ASSERT_TRUE(parsePackageHeader(info, reader));
    ASSERT_EQ(reader.currentType, 21);
    ASSERT_EQ(reader.nextPart(), 4);
    expectSameFiles(readContainer(reader), recipe.files);
    ASSERT_EQ(reader.nextPart(), 9);
    expectDigestMatches(reader);
    EXPECT_EQ(reader.nextPart(), -1);
}

TEST(WriterRoundTrip, BundleLoadsWithMembersAndEachMemberHashesOnItsOwn) {
    pkgwriter::BundleRecipe bundle;
    bundle.name = "suite";
    bundle.version = makeVersion(7, 1, 'f', 0);
    bundle.architecture = "powerpc";
    bundle.imagePart = "kept whole";
    bundle.defaultOff = {"beta"};
    bundle.members = {sampleRecipe("alpha"), sampleRecipe("beta")};
    bundle.members[1].imagePart = "member image";
    std::string stream = pkgwriter::writeBundle(bundle);

    testsupport::TempDir dir;
    testsupport::writeFile(dir / "suite.npk", stream);
    PackageFile file;
    ASSERT_TRUE(loadPackageFile(file, dir / "suite.npk"));
    EXPECT_TRUE(file.isBundle);
    EXPECT_EQ(file.name, "suite");
    EXPECT_TRUE(file.hasImagePart);
    ASSERT_EQ(file.members.size(), 2u);
    EXPECT_EQ(file.members[0]->name, "alpha");
    EXPECT_EQ(file.members[1]->name, "beta");
    EXPECT_TRUE(file.members[1]->hasImagePart);

    std::istringstream source(stream);
    PartReader reader(source, true, nullptr);
    reader.acceptedTypes = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
    ASSERT_EQ(reader.nextPart(), 18);
    PackageInfo header;
    ASSERT_TRUE(parsePackageHeader(header, reader));
    ASSERT_EQ(reader.currentType, 21);
    ASSERT_EQ(reader.nextPart(), 20);
    std::vector<PackageRange> off;
    ASSERT_TRUE(readDependencyList(reader, off));
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].name, "beta");
    ASSERT_EQ(reader.nextPart(), 1);
    for (int member = 0; member < 2; ++member) {
        SCOPED_TRACE(member);
        PackageInfo info;
        ASSERT_TRUE(parsePackageHeader(info, reader));
        if (reader.currentType == 21) reader.nextPart();
        ASSERT_EQ(reader.currentType, 4);
        expectSameFiles(readContainer(reader), bundle.members[member].files);
        ASSERT_EQ(reader.nextPart(), 9);
        expectDigestMatches(reader);
        reader.nextPart();
    }
    EXPECT_EQ(reader.currentType, -1);
}

// Walks to the signature part, hashing like an installation, and runs the
// installer's check there.
bool installerAcceptsSignature(const std::string& package) {
    std::istringstream source(package);
    PartReader reader(source, true, nullptr);
    reader.acceptedTypes = {1, 9};
    while (reader.nextPart() == 1) {
    }
    return reader.currentType == 9 && SignatureVerifier::verify(reader.partBuffer());
}

TEST(WriterRoundTrip, SignedWithTheDevelopmentKeyPassesTheInstallersCheck) {
    std::string key = pkgsign::developmentSecretKey();
    PackageRecipe recipe = sampleRecipe("signed");
    std::string package = pkgwriter::writePackage(recipe, &key);
    EXPECT_TRUE(installerAcceptsSignature(package));

    // One changed byte of file data inside the compressed container.
    auto parts = pkgwriter::buildPackageParts(recipe, &key);
    ASSERT_EQ(parts[8].type, kPartFileContainer);
    parts[8].payload[parts[8].payload.size() / 2] ^= 1;
    EXPECT_FALSE(installerAcceptsSignature(pkgwriter::writePartsFile(parts)));
    // Signed again by a stranger: the digest is right, the signature is not ours.
    std::string stranger = pkgsign::generateSecretKey();
    pkgwriter::signParts(parts, &stranger);
    EXPECT_FALSE(installerAcceptsSignature(pkgwriter::writePartsFile(parts)));
    // Unsigned filler with a correct digest is refused too.
    EXPECT_FALSE(installerAcceptsSignature(pkgwriter::writePackage(recipe)));
}

}  // namespace
