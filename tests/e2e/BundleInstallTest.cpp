// Multi-package streams installed with "-": the bundle's own entry, its
// members, the default-off list, members dropped by a new bundle version, and
// how refused or failing members affect the whole stream.
#include <gtest/gtest.h>

#include "e2e/RouterRoot.h"

namespace {

using e2e::RouterRoot;
using pkgwriter::BundleRecipe;
using pkgwriter::PackageRecipe;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kV2 = makeVersion(2, 0, 'f', 0);

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

// Bundles carry an (empty) image part, so that the database keeps them whole
// and knows their members by it.
BundleRecipe suite(VersionNumber version, const std::vector<std::string>& memberNames,
                 VersionNumber memberVersion, uint32_t memberBuildTime = 1000) {
    BundleRecipe recipe;
    recipe.name = "suite";
    recipe.version = version;
    recipe.buildTime = 3000;
    recipe.imagePart = std::string();
    for (const std::string& name : memberNames) {
        PackageRecipe member = e2e::simplePackage(name, memberVersion, memberBuildTime);
        member.files.push_back(
            e2e::file("bin/" + name, name + " at build " + std::to_string(memberBuildTime) + "\n"));
        recipe.members.push_back(member);
    }
    return recipe;
}

TEST(BundleInstall, MembersAreInstalledAndTheDefaultOffOneDisabled) {
    RouterRoot root;
    BundleRecipe recipe = suite(kV1, {"alpha", "beta", "gamma"}, kV1);
    recipe.defaultOff = {"gamma"};
    std::string bytes = e2e::signedBundle(recipe);
    auto result = root.install(bytes);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");

    // One line for the whole bundle, none per member.
    EXPECT_EQ(countOf(result.out, "installed "), 1u) << result.out;
    EXPECT_TRUE(contains(result.out, "installed suite-1.0\n")) << result.out;
    EXPECT_EQ(root.read("/flash/postlog"), "installed suite-1.0\n");
    // Members are shown under the bundle's name, without a state of their own.
    for (const std::string& text : e2e::statusTexts(result.out))
        if (!text.empty()) {
            EXPECT_EQ(text.rfind("installing suite-1.0 [", 0), 0u) << text;
        }

    EXPECT_EQ(root.read("/flash/var/pdb/suite/image"), bytes);
    EXPECT_FALSE(root.exists("/flash/var/pdb/suite/version"));
    for (const std::string name : {"alpha", "beta"}) {
        EXPECT_EQ(root.read("/flash/bin/" + name), name + " at build 1000\n");
        EXPECT_EQ(root.read("/flash/var/pdb/" + name + "/bundle"), "suite\n");
        EXPECT_FALSE(root.exists("/flash/var/pdb/" + name + "/disabled"));
    }
    EXPECT_EQ(root.read("/flash/x/gamma/bin/gamma"), "gamma at build 1000\n");
    EXPECT_FALSE(root.exists("/flash/bin/gamma"));
    EXPECT_EQ(root.read("/flash/var/pdb/gamma/disabled"), "auto\n");
    EXPECT_EQ(root.read("/flash/var/pdb/gamma/bundle"), "suite\n");
    EXPECT_EQ(root.read("/flash/var/pdb/gamma/files"),
              "flash/x/gamma/bin/gamma\nflash/x/gamma/opt/gamma/README\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST(BundleInstall, NewBundleVersionUninstallsTheMemberItDropped) {
    RouterRoot root;
    ASSERT_EQ(root.install(e2e::signedBundle(suite(kV1, {"alpha", "beta", "gamma"}, kV1))).status,
              0);
    ASSERT_TRUE(root.exists("/flash/bin/gamma"));

    // alpha is upgraded, beta is carried over unchanged, gamma is gone.
    BundleRecipe next = suite(kV2, {"alpha"}, kV2, 2000);
    next.members.push_back(suite(kV1, {"beta"}, kV1).members[0]);
    std::string bytes = e2e::signedBundle(next);
    auto result = root.install(bytes);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(contains(result.out, "installed suite-2.0\n")) << result.out;
    EXPECT_EQ(root.read("/flash/bin/alpha"), "alpha at build 2000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/alpha/version"), std::to_string(kV2) + " 2000\n");
    EXPECT_EQ(root.read("/flash/bin/beta"), "beta at build 1000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/beta/bundle"), "suite\n");
    // Members are known to the database through the bundle's image, which
    // lists no files, so only gamma's entry can be taken away.
    EXPECT_FALSE(root.exists("/flash/var/pdb/gamma"));
    EXPECT_EQ(root.read("/flash/var/pdb/suite/image"), bytes);
    EXPECT_TRUE(root.temporaryFiles().empty());

    auto shown = root.run({"--show"});
    EXPECT_FALSE(contains(shown.out, " gamma ")) << shown.out;
    EXPECT_TRUE(contains(shown.out, "           alpha  B           2.0 ")) << shown.out;
}

TEST(BundleInstall, SameBundleAgainIsOmitted) {
    RouterRoot root;
    std::string bytes = e2e::signedBundle(suite(kV1, {"alpha"}, kV1));
    ASSERT_EQ(root.install(bytes).status, 0);
    std::string before = root.listingWithoutPostLog();
    auto again = root.install(bytes);
    EXPECT_EQ(again.status, 0) << again.out;
    const std::string warning = "WARNING: omitting package suite-1.0: it is already installed";
    EXPECT_TRUE(contains(again.out, warning + "\n")) << again.out;
    EXPECT_FALSE(contains(again.out, "installed suite")) << again.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);
    EXPECT_EQ(root.read("/flash/postlog"), "installed suite-1.0\n" + warning + "\n");
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST(BundleInstall, RefusedMemberIsPassedOver) {
    RouterRoot root;
    BundleRecipe recipe = suite(kV1, {"alpha", "beta", "gamma"}, kV1);
    recipe.members[1].architecture = "mipsbe";
    auto result = root.install(e2e::signedBundle(recipe));
    EXPECT_EQ(result.status, 0) << result.out;
    // Members are judged silently.
    EXPECT_FALSE(contains(result.out, "ERROR")) << result.out;
    EXPECT_TRUE(contains(result.out, "installed suite-1.0\n")) << result.out;
    EXPECT_TRUE(root.exists("/flash/bin/alpha"));
    EXPECT_TRUE(root.exists("/flash/bin/gamma"));
    EXPECT_FALSE(root.exists("/flash/bin/beta"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/beta"));
}

TEST(BundleInstall, FailingMemberFailsTheWholeStream) {
    RouterRoot root;
    ASSERT_EQ(root.install(e2e::signedBundle(suite(kV1, {"alpha", "beta", "gamma"}, kV1))).status,
              0);
    std::string before = root.listingWithoutPostLog();
    std::string postLogBefore = root.read("/flash/postlog");

    // The second member's signature no longer matches: the third member is
    // never read, and its old version must not be taken for dropped.
    std::vector<std::string> memberFiles;
    for (const std::string name : {"alpha", "beta", "gamma"}) {
        PackageRecipe member = suite(kV2, {name}, kV2, 2000).members[0];
        memberFiles.push_back(e2e::signedPackage(member));
    }
    memberFiles[1][memberFiles[1].size() - 5] ^= 0x10;
    BundleRecipe header = suite(kV2, {}, kV2);
    auto result = root.install(pkgwriter::writeBundleFromFiles(header, memberFiles));
    EXPECT_EQ(result.status, 1) << result.out;
    const std::string error = "ERROR: installation of suite-2.0 failed: broken package";
    EXPECT_TRUE(contains(result.out, error + "\n")) << result.out;
    EXPECT_FALSE(contains(result.out, "installed suite")) << result.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);
    EXPECT_EQ(root.read("/flash/postlog"), postLogBefore + error + "\n");
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST(BundleInstall, RefusedOrEmptyBundleChangesNothing) {
    RouterRoot root;
    ASSERT_EQ(root.install(e2e::signedPackage(e2e::simplePackage("keep", kV1))).status, 0);
    std::string before = root.listingWithoutPostLog();

    BundleRecipe needsBase = suite(kV1, {"alpha"}, kV1);
    needsBase.dependencies = {{"base", kV2, 0, 0}};
    auto refused = root.install(e2e::signedBundle(needsBase));
    EXPECT_EQ(refused.status, 2) << refused.out;
    EXPECT_TRUE(contains(refused.out,
                         "ERROR: can not install suite-1.0: base-2.0 is not installed, but is "
                         "required\n"))
        << refused.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);

    auto empty = root.install(e2e::signedBundle(suite(kV1, {}, kV1)));
    EXPECT_EQ(empty.status, 3) << empty.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);

    // Every member refused: nothing was handled either.
    BundleRecipe foreign = suite(kV1, {"alpha"}, kV1);
    foreign.members[0].architecture = "mipsbe";
    auto allRefused = root.install(e2e::signedBundle(foreign));
    EXPECT_EQ(allRefused.status, 3) << allRefused.out;
    EXPECT_EQ(root.listingWithoutPostLog(), before);
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST(BundleInstall, BundleWithoutImagePartIsRecordedByItsMetadata) {
    RouterRoot root;
    BundleRecipe recipe = suite(kV1, {"alpha", "beta"}, kV1);
    recipe.imagePart.reset();
    recipe.dependencies = {{"base", 0, 0, 0}};
    ASSERT_EQ(root.install(e2e::signedPackage(e2e::simplePackage("base", kV1))).status, 0);
    auto result = root.install(e2e::signedBundle(recipe));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(root.read("/flash/var/pdb/suite/version"), std::to_string(kV1) + " 3000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/suite/deps"), "base 0 0\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/suite/files"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/suite/bundle"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/suite/image"));
    EXPECT_EQ(root.read("/flash/bin/alpha"), "alpha at build 1000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/beta/bundle"), "suite\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/image"));
    EXPECT_TRUE(root.temporaryFiles().empty());
}

}  // namespace
