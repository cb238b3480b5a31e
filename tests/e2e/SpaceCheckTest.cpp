#include <gtest/gtest.h>

#include <sys/statfs.h>

#include <functional>

#include "e2e/RouterRoot.h"

namespace {

using e2e::kUploads;
using e2e::RouterRoot;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr unsigned long kPage = 4096;

// Runs body in a child whose private mount namespace has a tmpfs of flashBytes
// at ROOT/flash and, when bootBytes is not 0, one of bootBytes at
// ROOT/flash/boot. Returns the child's status (nonzero when body failed).
int withSmallFlash(const RouterRoot& root, unsigned long flashBytes, unsigned long bootBytes,
                   const std::function<void()>& body) {
    return testsupport::runInChild([&] {
        std::string why;
        if (!testsupport::enterPrivateMountNamespace(&why) ||
            !testsupport::mountTmpfs(root.at("/flash"), flashBytes, &why) ||
            (bootBytes != 0 && !testsupport::mountTmpfs(root.at("/flash/boot"), bootBytes, &why))) {
            ADD_FAILURE() << why;
            return;
        }
        testsupport::makeDirs(root.at("/flash/var/pdb"));
        e2e::prepareUpgradeRoot(root);
        e2e::addInstalledEntry(root, "base", kV1);
        body();
    });
}

// A package with one file of incompressible bytes, so that its upload and its
// extracted file each take about fileBytes.
std::string bulkyPackage(const std::string& name, size_t fileBytes) {
    auto recipe = e2e::simplePackage(name, kV1);
    recipe.files.push_back(e2e::file("data/" + name, e2e::incompressibleBytes(fileBytes, 7)));
    return e2e::signedPackage(recipe);
}

class SpaceCheck : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!testsupport::tmpfsMountsAvailable(&why))
            GTEST_SKIP() << "tmpfs mounts in a private namespace are refused: " << why;
    }

    RouterRoot root;
};

TEST_F(SpaceCheck, UpgradeThatDoesNotFitChangesNothing) {
    std::string package = bulkyPackage("big", 600 * 1024);
    int status = withSmallFlash(root, 256 * kPage, 0, [&] {
        e2e::upload(root, kUploads, "big.npk", package);
        std::string before = e2e::listingWithoutScratch(root);
        auto result = root.run({});
        EXPECT_EQ(result.status, 28) << result.out;
        EXPECT_NE(result.out.find("installed big-1.0\n"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("ERROR: not enough space for upgrade\n"), std::string::npos)
            << result.out;
        EXPECT_EQ(e2e::listingWithoutScratch(root), before);
        EXPECT_TRUE(root.temporaryFiles().empty());
        EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
        EXPECT_FALSE(root.exists("/flash/var/pdb/big"));
        EXPECT_EQ(root.read("/flash/postlog"),
                  "installed big-1.0\nERROR: not enough space for upgrade\n");
    });
    EXPECT_EQ(status, 0);
}

TEST_F(SpaceCheck, UpgradeThatFitsIsCommitted) {
    std::string package = bulkyPackage("small", 200 * 1024);
    int status = withSmallFlash(root, 256 * kPage, 0, [&] {
        e2e::upload(root, kUploads, "small.npk", package);
        auto result = root.run({});
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(result.out.find("not enough space"), std::string::npos) << result.out;
        EXPECT_EQ(root.read("/flash/data/small").size(), 200u * 1024);
        EXPECT_EQ(root.read("/flash/PCKGS_CHANGED"), "");
        EXPECT_TRUE(root.temporaryFiles().empty());
    });
    EXPECT_EQ(status, 0);
}

TEST_F(SpaceCheck, BootPartitionNeedsMoreThanSixteenFreeBlocks) {
    int tight = withSmallFlash(root, 64 * kPage, 16 * kPage, [&] {
        std::string before = root.listing();
        auto result = root.run({});
        EXPECT_EQ(result.status, 28) << result.out;
        EXPECT_EQ(result.out, "ERROR: not enough space for upgrade\n");
        EXPECT_EQ(root.listingWithoutPostLog(), before);
        EXPECT_EQ(root.read("/flash/postlog"), "ERROR: not enough space for upgrade\n");
    });
    EXPECT_EQ(tight, 0);
    int roomy = withSmallFlash(root, 64 * kPage, 17 * kPage, [&] {
        std::string before = root.listing();
        auto result = root.run({});
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(root.listing(), before);
    });
    EXPECT_EQ(roomy, 0);
}

// Flash that fills up at each stage of a run: nothing may be applied in part,
// and nothing may be reported as installed that was not.
class FullFlash : public SpaceCheck {
protected:
    // Fills /flash until about freeBytes are left.
    void leaveFree(size_t freeBytes) {
        struct statfs fs;
        ASSERT_EQ(statfs(root.at("/flash").c_str(), &fs), 0);
        size_t available = static_cast<size_t>(fs.f_bfree) * fs.f_bsize;
        ASSERT_GT(available, freeBytes);
        root.write("/flash/filler", std::string(available - freeBytes, 'f'));
    }
    void expectUnchanged(const testsupport::ProcessResult& result, int status,
                         const std::string& message, const std::string& before) {
        EXPECT_EQ(result.status, status) << result.out << result.err;
        EXPECT_NE(result.out.find(message), std::string::npos) << result.out;
        EXPECT_EQ(e2e::listingWithoutScratch(root), before);
        EXPECT_TRUE(root.temporaryFiles().empty());
        EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    }
};

// The copy of a streamed boot package that does not fit fails the install: a
// cut boot image must never be installed.
TEST_F(FullFlash, BootImageThatDoesNotFitIsRefused) {
    auto kernel = e2e::simplePackage("kernel", kV1);
    kernel.flags = 1;
    kernel.imagePart = e2e::incompressibleBytes(600 * 1024, 3);
    std::string bytes = e2e::signedPackage(kernel);
    int status = withSmallFlash(root, 256 * kPage, 0, [&] {
        root.write("/flash/bootimage", "the running kernel");
        leaveFree(400 * 1024);
        std::string before = e2e::listingWithoutScratch(root);
        auto result = root.install(bytes, {}, {{"bootimage", "1"}});
        expectUnchanged(result, 1, "ERROR: installation of kernel-1.0 failed: disk is too small\n",
                        before);
        EXPECT_EQ(result.out.find("installed kernel"), std::string::npos) << result.out;
    });
    EXPECT_EQ(status, 0);
}

// A package whose files only fit in "/ram" while staged is checked like an
// upgrade before its commit; its copy of the stream, which it does not need,
// does not matter.
TEST_F(FullFlash, StreamInstallThatDoesNotFitIsNotCommitted) {
    std::string bytes = bulkyPackage("big", 600 * 1024);
    int status = withSmallFlash(root, 256 * kPage, 0, [&] {
        leaveFree(400 * 1024);
        std::string before = e2e::listingWithoutScratch(root);
        auto result = root.install(bytes);
        expectUnchanged(result, 28, "ERROR: not enough space for upgrade\n", before);
    });
    EXPECT_EQ(status, 0);
}

// Replacing a file by one staged in "/ram" is a copy that needs the new file's
// room while the old one still exists; a check that credits the old file first
// would pass and the copy would fail half-way.
TEST_F(FullFlash, CopyAcrossFileSystemsNeedsRoomBesideTheOldFile) {
    auto old = e2e::simplePackage("big", kV1);
    old.files.push_back(e2e::file("data/big", e2e::incompressibleBytes(300 * 1024, 1)));
    auto next = e2e::simplePackage("big", makeVersion(2, 0, 'f', 0));
    next.files.push_back(e2e::file("data/big", e2e::incompressibleBytes(300 * 1024, 2)));
    std::string first = e2e::signedPackage(old), second = e2e::signedPackage(next);
    int status = withSmallFlash(root, 256 * kPage, 0, [&] {
        ASSERT_EQ(root.install(first).status, 0);
        leaveFree(290 * 1024);
        std::string before = e2e::listingWithoutScratch(root);
        auto result = root.install(second);
        expectUnchanged(result, 28, "ERROR: not enough space for upgrade\n", before);
        EXPECT_EQ(root.read("/flash/data/big"), e2e::incompressibleBytes(300 * 1024, 1));
    });
    EXPECT_EQ(status, 0);
}

// A manifest that does not fit in "/ram" is not written at all: a later
// --commit must never apply a cut one.
TEST_F(FullFlash, ManifestThatDoesNotFitIsNotWritten) {
    std::string bytes = bulkyPackage("small", 20 * 1024);
    int status = withSmallFlash(root, 256 * kPage, 0, [&] {
        std::string why;
        ASSERT_TRUE(testsupport::mountTmpfs(root.at("/ram"), kPage, &why)) << why;
        root.write("/ram/filler", std::string(kPage, 'f'));
        e2e::upload(root, kUploads, "small.npk", bytes);
        std::string before = e2e::listingWithoutScratch(root);
        auto result = root.run({"--safe"});
        expectUnchanged(result, 1, "ERROR: could not write manifest\n", before);
        EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
