#include <gtest/gtest.h>

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

}  // namespace
