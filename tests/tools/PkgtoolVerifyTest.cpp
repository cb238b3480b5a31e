// verify, inspect and bundle: damaged packages are refused, bundles check every
// member, and the bundle's own header is shown to be outside every signature.
// The bit sweeps run the verification in-process; a few cases go through the
// binary to pin the exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/PkgtoolCheck.h"
#include "tools/PkgtoolTestSupport.h"
#include "tools/Signer.h"

namespace {

using pkgtooltest::fileExists;
using pkgtooltest::makeSampleTree;
using pkgtooltest::runBinary;
using pkgtooltest::runInProcess;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

std::vector<pkgtool::PublicKey> developmentKey() {
    std::string raw = pkgsign::publicKeyFor(pkgsign::developmentSecretKey());
    pkgtool::PublicKey key;
    std::copy(raw.begin(), raw.end(), key.begin());
    return {key};
}

std::string publicHex() {
    return pkgtool::toHex(pkgsign::publicKeyFor(pkgsign::developmentSecretKey()));
}

// A small signed package, built in-process.
std::string buildPackage(const TempDir& dir, const std::string& name,
                         std::vector<std::string> extra = {}, const std::string& version = "1.0") {
    std::string out = dir / (name + ".npk");
    std::vector<std::string> args = {"build",        dir / "tree", "-o",        out,
                                     "--name",       name,         "--version", version,
                                     "--build-time", "1000",       "--dev-key"};
    args.insert(args.end(), extra.begin(), extra.end());
    pkgtooltest::InProcessResult r = runInProcess(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
}

TEST(PkgtoolVerify, EveryFlippedBitOfASinglePackageFailsVerification) {
    TempDir dir;
    testsupport::makeDirs(dir / "tree/bin");
    writeFile(dir / "tree/bin/a", "alpha\n");
    std::string path = buildPackage(dir, "tiny", {"--depends", "x>=1.0", "--note", "n"});
    const std::string good = readFile(path);
    const std::vector<pkgtool::PublicKey> keys = developmentKey();
    ASSERT_TRUE(pkgtool::packageVerifies(good, keys));

    size_t accepted = 0;
    for (size_t byte = 8; byte < good.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string bad = good;
            bad[byte] = static_cast<char>(bad[byte] ^ (1 << bit));
            if (pkgtool::packageVerifies(bad, keys)) {
                ++accepted;
                ADD_FAILURE() << "flip of bit " << bit << " of byte " << byte << " verified";
            }
        }
    }
    EXPECT_EQ(accepted, 0u) << "of " << (good.size() - 8) * 8 << " flips";

    // The file header too: a changed length or magic is no package.
    for (size_t byte = 0; byte < 8; ++byte) {
        std::string bad = good;
        bad[byte] = static_cast<char>(bad[byte] ^ 0x01);
        EXPECT_FALSE(pkgtool::packageVerifies(bad, keys)) << byte;
    }

    // The binary answers by status alone.
    EXPECT_EQ(runBinary({"verify", "--public", publicHex(), path}).status, 0);
    for (size_t byte : {size_t(8), good.size() / 2, good.size() - 1}) {
        std::string bad = good;
        bad[byte] = static_cast<char>(bad[byte] ^ 0x80);
        writeFile(dir / "bad.npk", bad);
        testsupport::ProcessResult r =
            runBinary({"verify", "--public", publicHex(), dir / "bad.npk"});
        EXPECT_EQ(r.status, 1) << byte;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

TEST(PkgtoolVerify, TruncatedAndForeignFilesAreReportedNotCrashedOn) {
    TempDir dir;
    makeSampleTree(dir / "tree");
    const std::string good = readFile(buildPackage(dir, "p"));
    const std::vector<pkgtool::PublicKey> keys = developmentKey();
    for (size_t length = 0; length < good.size(); ++length) {
        pkgtool::FileReport report = pkgtool::examinePackage(good.substr(0, length), keys);
        EXPECT_FALSE(report.ok()) << length;
    }
    pkgtool::FileReport extra = pkgtool::examinePackage(good + std::string(6, '\0'), keys);
    EXPECT_FALSE(extra.ok());
    // A part of a type the installer skips, appended with a matching file
    // length, is still refused: no signature covers it.
    std::string trailer = good + std::string(
                                     "\x63\x00\x03\x00\x00\x00"
                                     "abc",
                                     9);
    uint32_t length = static_cast<uint32_t>(trailer.size() - 8);
    for (int i = 0; i < 4; ++i) trailer[4 + i] = static_cast<char>(length >> (8 * i));
    pkgtool::FileReport appended = pkgtool::examinePackage(trailer, keys);
    ASSERT_FALSE(appended.ok());
    EXPECT_EQ(appended.problems.back(),
              "9 bytes after the last signature are not covered by any signature");

    writeFile(dir / "cut.npk", good.substr(0, good.size() - 30));
    testsupport::ProcessResult r = runBinary({"inspect", "--public", publicHex(), dir / "cut.npk"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "problem: the file is ")) << r.out;
    EXPECT_TRUE(contains(r.out, "(cut short by the end of the file)")) << r.out;
    EXPECT_TRUE(contains(r.out, "result: FAILED\n"));

    writeFile(dir / "text.npk", "hello, this is not a package\n");
    r = runBinary({"inspect", dir / "text.npk"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "problem: not a package file")) << r.out;
}

struct BundleFixture {
    TempDir dir;
    std::string first, second, bundle;

    BundleFixture() {
        makeSampleTree(dir / "tree");
        first = buildPackage(dir, "alpha");
        second = buildPackage(dir, "beta", {}, "2.0rc1");
    }
    pkgtooltest::InProcessResult make(std::vector<std::string> extra) {
        bundle = dir / "b.npk";
        std::vector<std::string> args = {"bundle",    "--name",       "suite", "--version",
                                         "2.0",       "--build-time", "99",    "--public",
                                         publicHex(), "-o",           bundle};
        args.insert(args.end(), extra.begin(), extra.end());
        return runInProcess(args);
    }
};

TEST(PkgtoolVerify, ABundleVerifiesEveryMemberButNotItsOwnHeader) {
    BundleFixture f;
    pkgtooltest::InProcessResult made =
        f.make({"--default-off", "beta", "--note", "bundle note", f.first, f.second});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string good = readFile(f.bundle);
    const std::vector<pkgtool::PublicKey> keys = developmentKey();
    pkgtool::FileReport report = pkgtool::examinePackage(good, keys);
    ASSERT_TRUE(report.ok()) << report.problems.front();
    ASSERT_TRUE(report.isBundle);
    EXPECT_EQ(report.bundle->name, "suite");
    EXPECT_TRUE(report.bundle->hasImagePart);
    EXPECT_EQ(report.defaultOff, std::vector<std::string>{"beta"});
    ASSERT_EQ(report.packages.size(), 2u);
    EXPECT_EQ(report.packages[1].info->name, "beta");
    EXPECT_EQ(report.packages[1].info->version, 0x02006301u);

    // Each member is exactly its package file without the file header.
    std::string firstBytes = readFile(f.first), secondBytes = readFile(f.second);
    EXPECT_EQ(good.substr(good.size() - (secondBytes.size() - 8)), secondBytes.substr(8));
    size_t firstAt = good.find(firstBytes.substr(8));
    ASSERT_NE(firstAt, std::string::npos);

    // A flip inside any member fails the whole bundle, naming the member.
    size_t flipped = 0;
    for (size_t byte = firstAt; byte < good.size(); byte += 7) {
        std::string bad = good;
        bad[byte] = static_cast<char>(bad[byte] ^ 0x10);
        EXPECT_FALSE(pkgtool::packageVerifies(bad, keys)) << byte;
        ++flipped;
    }
    EXPECT_GT(flipped, 50u);
    std::string bad = good;
    bad[good.size() - 1] ^= 0x01;
    writeFile(f.dir / "bad.npk", bad);
    testsupport::ProcessResult shown =
        runBinary({"inspect", "--public", publicHex(), f.dir / "bad.npk"});
    EXPECT_EQ(shown.status, 1);
    EXPECT_TRUE(contains(shown.out, "problem: the signature of member 2 beta does not verify"))
        << shown.out;

    // The bundle's own note is signed by nobody: changing it still verifies.
    std::string altered = good;
    size_t note = altered.find("bundle note");
    ASSERT_NE(note, std::string::npos);
    ASSERT_LT(note, firstAt);
    altered.replace(note, 6, "BUNDLE");
    EXPECT_TRUE(pkgtool::packageVerifies(altered, keys));

    writeFile(f.dir / "good.npk", good);
    shown = runBinary({"inspect", "--public", publicHex(), f.dir / "good.npk"});
    EXPECT_EQ(shown.status, 0) << shown.out;
    for (const char* line :
         {"bundle (its header parts are not covered by any signature):\n", "  name: suite\n",
          "  note: bundle note\n", "  image part: yes", "  default off: beta\n", "member 1:\n",
          "  name: alpha\n", "member 2:\n", "  version: 2.0rc1 (0x02006301)\n",
          "   18 bundle header\n", "   21 image\n", "   20 default-off list\n", "result: ok\n"})
        EXPECT_TRUE(contains(shown.out, line)) << line << "\n--- in ---\n" << shown.out;
    EXPECT_EQ(runBinary({"verify", "--public", publicHex(), f.dir / "good.npk"}).status, 0);
}

TEST(PkgtoolVerify, BundleImagePartChoices) {
    BundleFixture f;
    ASSERT_EQ(f.make({"--no-image", f.first}).status, 0);
    pkgtool::FileReport none = pkgtool::examinePackage(readFile(f.bundle), developmentKey());
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none.bundle->hasImagePart);
    EXPECT_TRUE(none.defaultOff.empty());

    writeFile(f.dir / "img", "IMAGE");
    ASSERT_EQ(f.make({"--image", f.dir / "img", f.first}).status, 0);
    std::string bytes = readFile(f.bundle);
    pkgtool::FileReport with = pkgtool::examinePackage(bytes, developmentKey());
    ASSERT_TRUE(with.ok());
    ASSERT_GE(with.parts.size(), 2u);
    EXPECT_EQ(with.parts[1].type, 21);
    EXPECT_EQ(with.parts[1].length, 5u);
    EXPECT_EQ(bytes.substr(with.parts[1].offset + 6, 5), "IMAGE");
}

TEST(PkgtoolVerify, BundleRefusesBadMembersWithoutWritingOutput) {
    BundleFixture f;
    std::string damaged = readFile(f.first);
    damaged[damaged.size() / 2] ^= 0x04;
    writeFile(f.dir / "damaged.npk", damaged);
    std::string unrecorded = buildPackage(f.dir, "unrec", {"--unrecorded"});
    ASSERT_EQ(f.make({f.first}).status, 0);
    std::string nested = f.dir / "nested.npk";
    ::rename(f.bundle.c_str(), nested.c_str());

    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{}, 2, "no MEMBER package given"},
        {{f.first, f.first}, 2, "two members are named \"alpha\""},
        {{"--default-off", "gamma", f.first}, 2, "--default-off gamma: no member of that name"},
        {{"--default-off", "a/b", f.first}, 2, "contains \"/\""},
        {{f.dir / "damaged.npk"}, 1, "damaged.npk: "},
        {{unrecorded}, 1, "an unrecorded package cannot be a member"},
        {{nested}, 1, "a bundle cannot be a member of a bundle"},
        {{f.dir / "missing.npk"}, 3, "missing.npk: No such file or directory"},
        {{"--no-image", "--image", f.first, f.first}, 2, "exclude each other"},
    };
    for (const Case& c : cases) {
        pkgtooltest::InProcessResult r = f.make(c.args);
        EXPECT_EQ(r.status, c.status) << c.message << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_FALSE(fileExists(f.bundle)) << c.message;
    }
    // Members signed with a key the bundle is not told about do not verify.
    pkgtooltest::InProcessResult wrongKey =
        runInProcess({"bundle", "--name", "suite", "--version", "2.0", "--public",
                      std::string(63, '0') + "9", "-o", f.bundle, f.first});
    EXPECT_EQ(wrongKey.status, 1);
    EXPECT_TRUE(contains(wrongKey.err, "does not verify")) << wrongKey.err;
    EXPECT_FALSE(fileExists(f.bundle));

    testsupport::ProcessResult viaBinary = runBinary(
        {"bundle", "--name", "suite", "--version", "2.0", "-o", f.bundle, f.first, f.first});
    EXPECT_EQ(viaBinary.status, 2);
    EXPECT_FALSE(fileExists(f.bundle));
}

}  // namespace
