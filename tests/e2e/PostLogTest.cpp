#include <gtest/gtest.h>

#include "e2e/RouterRoot.h"

namespace {

using e2e::kUploads;
using e2e::RouterRoot;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kV2 = makeVersion(2, 0, 'f', 0);

class PostLog : public ::testing::Test {
protected:
    PostLog() {
        e2e::prepareUpgradeRoot(root);
        e2e::addInstalledEntry(root, "base", kV1);
    }

    void uploadPackage(const std::string& name, VersionNumber version) {
        e2e::upload(root, kUploads, name + ".npk",
                    e2e::signedPackage(e2e::simplePackage(name, version)));
    }

    RouterRoot root;
};

TEST_F(PostLog, UpgradeWithCandidatesRewritesOldLinesThenItsOwn) {
    // The unterminated last line is what a run that stopped early leaves; a
    // reserving run drops it.
    root.write("/flash/postlog", "old one\nold two\nunterminated");
    uploadPackage("a", kV1);
    auto first = root.run({});
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(root.read("/flash/postlog"), "old one\nold two\ninstalled a-1.0\n");

    // A second run with a candidate reserves again: the whole log is kept and
    // its new line follows.
    testsupport::removeTree(root.at("/flash/rw/pckg/a.npk"));
    uploadPackage("b", kV1);
    auto second = root.run({});
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(root.read("/flash/postlog"), "old one\nold two\ninstalled a-1.0\ninstalled b-1.0\n");
}

TEST_F(PostLog, RunWithoutCandidatesAppends) {
    root.write("/flash/postlog", "old one\nunterminated");
    e2e::upload(root, kUploads, "junk.npk", "garbage");
    auto result = root.run({});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(root.read("/flash/postlog"), "old one\nunterminatedERROR: broken package junk.npk\n");
}

TEST_F(PostLog, RunWithoutCandidatesOrMessagesLeavesItAlone) {
    root.write("/flash/postlog", "old one\n");
    std::string before = root.listing();
    auto result = root.run({});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(root.listing(), before);
}

TEST_F(PostLog, QuietUpgradeKeepsExactlyTheOldLines) {
    root.write("/flash/postlog", "old one\nold two\n");
    uploadPackage("a", kV2);
    auto result = root.run({"-q"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(root.exists("/flash/var/pdb/a/version"));
    EXPECT_EQ(root.read("/flash/postlog"), "old one\nold two\n");
}

TEST_F(PostLog, FailedUpgradeStillWritesItsMessages) {
    root.write("/flash/postlog", "old one\n");
    e2e::upload(root, kUploads, "a.npk",
                pkgwriter::writePackage(e2e::simplePackage("a", kV1), nullptr));
    auto result = root.run({});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_FALSE(root.exists("/flash/var/pdb/a"));
    EXPECT_EQ(root.read("/flash/postlog"),
              "old one\nERROR: installation of a-1.0 failed: broken package\n");
}

}  // namespace
