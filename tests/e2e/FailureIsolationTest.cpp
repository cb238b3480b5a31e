// A stream install that fails must leave the router exactly as it was: every
// file, link and directory byte-identical apart from the post-log, which gains
// the failure's messages, and no temporary file anywhere. One root serves many
// failures in a row, so a change left by any of them shows up in the next check.
#include <gtest/gtest.h>

#include "e2e/RouterRoot.h"
#include "platform/ByteOrder.h"

namespace {

using e2e::RouterRoot;
using pkgwriter::PackageRecipe;
using pkgwriter::Part;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kV2 = makeVersion(2, 0, 'f', 0);

struct Case {
    std::string description;
    std::string bytes;
    // The lines the failure adds to the post-log.
    std::string messages;
    std::map<std::string, std::string> environment = {};
};

const std::string kBrokenX2 = "ERROR: installation of x-2.0 failed: broken package\n";

PackageRecipe upgradeOfX() {
    PackageRecipe recipe = e2e::simplePackage("x", kV2, 2000);
    for (int i = 0; i < 3; ++i)
        recipe.files.push_back(
            e2e::file("lib/x" + std::to_string(i), e2e::incompressibleBytes(6000, 40 + i)));
    return recipe;
}

// Installed packages a failed upgrade must not disturb: x itself, a package
// kept whole in its image, the boot image, and an earlier post-log.
class FailureIsolation : public ::testing::Test {
protected:
    void SetUp() override {
        auto x = e2e::simplePackage("x", kV1);
        x.files.push_back(e2e::file("lib/x0", "first library\n"));
        installOk(e2e::signedPackage(x));
        auto whole = e2e::simplePackage("whole", kV1);
        whole.imagePart = std::string("stored whole");
        installOk(e2e::signedPackage(whole));
        root.write("/flash/bootimage", "the boot image");
        ASSERT_TRUE(root.exists("/flash/var/pdb/whole/image"));
    }

    void installOk(const std::string& bytes) {
        auto result = root.install(bytes);
        ASSERT_EQ(result.status, 0) << result.out;
    }

    // Runs every case on the same root and checks that nothing but the
    // post-log changed.
    void expectNoTrace(const std::vector<Case>& cases, int expectedStatus = 1) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.description);
            std::string before = root.listingWithoutPostLog();
            std::string postLog = root.read("/flash/postlog");
            auto result = root.install(c.bytes, {}, c.environment);
            EXPECT_EQ(result.status, expectedStatus) << result.out;
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(root.listingWithoutPostLog(), before);
            EXPECT_EQ(root.read("/flash/postlog"), postLog + c.messages);
            EXPECT_EQ(root.temporaryFiles(), std::vector<std::string>());
        }
    }

    RouterRoot root;
};

TEST_F(FailureIsolation, TruncatedStreams) {
    std::string whole = e2e::signedPackage(upgradeOfX());
    std::vector<Part> parts = e2e::splitParts(whole);
    // Offsets of each part's header in the file.
    std::vector<size_t> offsets;
    size_t at = kFileHeaderSize;
    size_t container = 0;
    for (const Part& part : parts) {
        offsets.push_back(at);
        if (part.type == kPartFileContainer) container = offsets.size() - 1;
        at += kPartHeaderSize + part.payload.size();
    }
    ASSERT_EQ(at, whole.size());
    ASSERT_GT(container, 0u);
    size_t containerStart = offsets[container] + kPartHeaderSize;
    size_t signatureStart = offsets.back();

    std::vector<Case> cases = {
        {"nothing at all", "", ""},
        {"inside the file header", whole.substr(0, 4), ""},
        {"inside the package header", whole.substr(0, 8 + 6 + 10), ""},
        {"inside the container's part header", whole.substr(0, offsets[container] + 3), kBrokenX2},
        {"just inside the container", whole.substr(0, containerStart + 40), kBrokenX2},
        {"in the middle of the container",
         whole.substr(0, containerStart + parts[container].payload.size() / 2), kBrokenX2},
        {"before the signature part", whole.substr(0, signatureStart), kBrokenX2},
        {"inside the signature", whole.substr(0, signatureStart + 6 + 30), kBrokenX2},
        {"one byte short", whole.substr(0, whole.size() - 1), kBrokenX2},
    };
    expectNoTrace(cases);
}

TEST_F(FailureIsolation, SignatureProblems) {
    std::string signedBytes = e2e::signedPackage(upgradeOfX());
    std::vector<Part> parts = e2e::splitParts(signedBytes);
    ASSERT_EQ(parts.back().type, kPartSignature);

    std::string badS = signedBytes;
    badS[badS.size() - 10] ^= 0x04;  // inside s, the last 32 bytes
    std::string badR = signedBytes;
    badR[badR.size() - 40] ^= 0x80;  // inside r
    std::string badDigest = signedBytes;
    badDigest[badDigest.size() - 60] ^= 0x01;

    std::vector<Part> withoutSignature(parts.begin(), parts.end() - 1);
    // Altered file data behind an intact signature part: the digest no longer fits.
    std::vector<Part> alteredData = parts;
    for (Part& part : alteredData)
        if (part.type == kPartFileContainer) part.payload[part.payload.size() / 2] ^= 0x20;

    std::vector<Case> cases = {
        {"a bit of s flipped", badS, kBrokenX2},
        {"a bit of r flipped", badR, kBrokenX2},
        {"a bit of the digest flipped", badDigest, kBrokenX2},
        {"no signature part", pkgwriter::writePartsFile(withoutSignature), kBrokenX2},
        {"signed by nobody", pkgwriter::writePackage(upgradeOfX()), kBrokenX2},
        {"file data altered", pkgwriter::writePartsFile(alteredData), kBrokenX2},
        {"boot image package, bad signature, bootimage set",
         [] {
             PackageRecipe boot = upgradeOfX();
             boot.flags = 1;
             boot.imagePart = std::string("new boot");
             std::string bytes = e2e::signedPackage(boot);
             bytes[bytes.size() - 3] ^= 0x40;
             return bytes;
         }(),
         kBrokenX2,
         {{"bootimage", "1"}}},
        {"image package, bad signature",
         [] {
             PackageRecipe whole = e2e::simplePackage("whole", kV2);
             whole.imagePart = std::string("replacement");
             std::string bytes = e2e::signedPackage(whole);
             bytes[bytes.size() - 3] ^= 0x40;
             return bytes;
         }(),
         "ERROR: installation of whole-2.0 failed: broken package\n"},
    };
    expectNoTrace(cases);
}

TEST_F(FailureIsolation, UnsafeEntryNames) {
    std::vector<Case> cases;
    for (const std::string name :
         {"../x", "a/../../b", "", "with space", "..", "/..", "bin/..", "tab\there", "new\nline",
          ".", "bin/", "bin/.", "./bin", "lib//x9", "//etc/x", "a/./b", "/"}) {
        PackageRecipe recipe = upgradeOfX();
        recipe.files.push_back(e2e::file(name, "escaping\n"));
        cases.push_back({"entry name \"" + name + "\"", e2e::signedPackage(recipe), kBrokenX2});
    }
    // Entries that are not installed are judged all the same.
    PackageRecipe directory = upgradeOfX();
    pkgwriter::ContainerFile link = e2e::file("../outside", "/etc/passwd");
    link.type = pkgwriter::EntryType::Symlink;
    directory.files.push_back(link);
    cases.push_back(
        {"symbolic link entry \"../outside\"", e2e::signedPackage(directory), kBrokenX2});
    // Names that would put a file where a directory is (its own, another
    // package's, the database's) can never be installed.
    for (const std::string name : {"lib", "/lib", "var/pdb/whole", "var"}) {
        PackageRecipe recipe = upgradeOfX();
        recipe.files.push_back(e2e::file(name, "over a directory\n"));
        cases.push_back({"entry onto the directory \"" + name + "\"", e2e::signedPackage(recipe),
                         "ERROR: installation of x-2.0 failed: could not create " + name +
                             ": Is a directory\n"});
    }
    expectNoTrace(cases);
    EXPECT_FALSE(root.exists("/x"));
    EXPECT_FALSE(root.exists("/b"));
}

// A container whose compressed data is damaged after its first entries, whose
// checksum is wrong or that stops before its end is broken as a whole, even
// when the package is signed as it is; data after a complete stream is not
// part of it.
TEST_F(FailureIsolation, DamagedContainers) {
    const std::string payload = pkgwriter::buildContainerPayload(upgradeOfX().files);
    auto withContainer = [](const std::string& container) {
        PackageRecipe recipe = upgradeOfX();
        recipe.containerPayload = container;
        return e2e::signedPackage(recipe);
    };
    std::string badBlock = payload;
    for (size_t i = payload.size() * 2 / 3; i < payload.size() * 2 / 3 + 8; ++i)
        badBlock[i] ^= 0x55;
    std::string badChecksum = payload;
    badChecksum[payload.size() - 1] ^= 1;
    std::vector<Case> cases = {
        {"a bad block after the first entries", withContainer(badBlock), kBrokenX2},
        {"a wrong checksum", withContainer(badChecksum), kBrokenX2},
        {"the zlib stream cut short", withContainer(payload.substr(0, payload.size() - 4)),
         kBrokenX2},
        {"no zlib stream at all", withContainer(std::string()), kBrokenX2},
    };
    expectNoTrace(cases);

    auto result = root.install(withContainer(payload + "trailing bytes"));
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(root.read("/flash/lib/x2"), e2e::incompressibleBytes(6000, 42));
}

// A text part whose declared length runs past the data (the signature is
// swallowed with it) makes the package broken, with its name.
TEST_F(FailureIsolation, TextPartRunningPastTheData) {
    std::vector<Case> cases;
    for (uint16_t type : {kPartArchitecture, kPartDescription}) {
        PackageRecipe recipe = upgradeOfX();
        recipe.architecture = "i386";
        recipe.description = "text";
        std::vector<Part> parts = e2e::splitParts(e2e::signedPackage(recipe));
        std::string bytes;
        for (Part& part : parts) {
            std::string header(kPartHeaderSize, '\0');
            uint32_t length = static_cast<uint32_t>(part.payload.size());
            if (part.type == type) length += 1u << 20;
            store16le(reinterpret_cast<uint8_t*>(&header[0]), part.type);
            store32le(reinterpret_cast<uint8_t*>(&header[2]), length);
            bytes += header + part.payload;
        }
        std::string file(kFileHeaderSize, '\0');
        store32le(reinterpret_cast<uint8_t*>(&file[0]), kMagicRegular);
        store32le(reinterpret_cast<uint8_t*>(&file[4]), static_cast<uint32_t>(bytes.size()));
        cases.push_back({"part " + std::to_string(type) + " too long", file + bytes, kBrokenX2});
    }
    expectNoTrace(cases);
}

TEST_F(FailureIsolation, UnsafePackageNames) {
    std::vector<Case> cases;
    for (const std::string name : {"..", ".", "a/b", "", "sp ace", "../../etc"}) {
        PackageRecipe recipe = e2e::simplePackage(name, kV2);
        recipe.files = {e2e::file("opt/unsafe", "unsafe\n")};
        cases.push_back({"package name \"" + name + "\"", e2e::signedPackage(recipe),
                         "ERROR: installation of " + name + "-2.0 failed: broken package\n"});
    }
    expectNoTrace(cases);
    EXPECT_FALSE(root.exists("/flash/opt/unsafe"));
}

TEST_F(FailureIsolation, UnsafeNamesInBundles) {
    auto bundle = [](const std::string& bundleName, const std::string& memberName) {
        pkgwriter::BundleRecipe recipe;
        recipe.name = bundleName;
        recipe.version = kV2;
        recipe.imagePart = std::string();
        recipe.members.push_back(e2e::simplePackage("member", kV2));
        recipe.members.push_back(e2e::simplePackage(memberName, kV2));
        return e2e::signedBundle(recipe);
    };
    std::vector<Case> cases = {
        {"bundle name \"..\"", bundle("..", "fine"),
         "ERROR: installation of ..-2.0 failed: broken package\n"},
        {"bundle name \"a/b\"", bundle("a/b", "fine"),
         "ERROR: installation of a/b-2.0 failed: broken package\n"},
        // The first member was already staged when the second turned out bad.
        {"member name \"../m\"", bundle("suite", "../m"),
         "ERROR: installation of suite-2.0 failed: broken package\n"},
    };
    expectNoTrace(cases);
}

TEST_F(FailureIsolation, BundleCutShort) {
    auto suite = [](VersionNumber version) {
        pkgwriter::BundleRecipe recipe;
        recipe.name = "suite";
        recipe.version = version;
        recipe.imagePart = std::string();
        for (const char* name : {"alpha", "beta", "gamma"})
            recipe.members.push_back(e2e::simplePackage(name, version));
        return e2e::signedBundle(recipe);
    };
    installOk(suite(kV1));
    std::string next = suite(kV2);
    std::vector<size_t> memberStarts;
    size_t at = kFileHeaderSize;
    for (const Part& part : e2e::splitParts(next)) {
        if (part.type == kPartHeader) memberStarts.push_back(at);
        at += kPartHeaderSize + part.payload.size();
    }
    ASSERT_EQ(memberStarts.size(), 3u);
    const std::string broken = "ERROR: installation of suite-2.0 failed: broken package\n";
    std::vector<Case> cases = {
        // Complete members, then nothing: the declared length tells that the
        // rest is missing, and the old members must not be taken for dropped.
        {"cut after the first member", next.substr(0, memberStarts[1]), ""},
        {"cut after the second member", next.substr(0, memberStarts[2]), ""},
        {"cut inside the second member's header", next.substr(0, memberStarts[1] + 20), ""},
        {"cut inside the last member", next.substr(0, next.size() - 30), broken},
    };
    expectNoTrace(cases);
    EXPECT_TRUE(root.exists("/flash/var/pdb/gamma"));
}

}  // namespace
