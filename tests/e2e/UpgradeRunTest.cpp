#include <gtest/gtest.h>

#include "e2e/RouterRoot.h"

namespace {

using e2e::kFallbackUploads;
using e2e::kUploads;
using e2e::RouterRoot;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kV2 = makeVersion(2, 0, 'f', 0);

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Position of part in text, failing the test when it is missing.
size_t positionOf(const std::string& text, const std::string& part) {
    size_t at = text.find(part);
    EXPECT_NE(at, std::string::npos) << "missing \"" << part << "\" in:\n" << text;
    return at;
}

class UpgradeRun : public ::testing::Test {
protected:
    UpgradeRun() { e2e::prepareUpgradeRoot(root); }

    testsupport::ProcessResult upgrade(const std::vector<std::string>& args = {},
                                       const std::map<std::string, std::string>& env = {}) {
        return root.run(args, std::string(), env);
    }

    std::string package(const std::string& name, VersionNumber version) {
        return e2e::signedPackage(e2e::simplePackage(name, version));
    }

    RouterRoot root;
};

TEST_F(UpgradeRun, OnlyThePrimaryUploadDirectoryIsUsedWhenItHoldsPackages) {
    e2e::upload(root, kUploads, "a.npk", package("a", kV1));
    e2e::upload(root, kFallbackUploads, "b.npk", package("b", kV1));
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(contains(result.out, "installed a-1.0\n")) << result.out;
    EXPECT_FALSE(contains(result.out, "b-1.0")) << result.out;
    EXPECT_EQ(root.read("/flash/var/pdb/a/version"), std::to_string(kV1) + " 1000\n");
    EXPECT_EQ(root.read("/flash/opt/a/README"), "package a\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/b"));
    // Files without an image part stay where they were uploaded.
    EXPECT_TRUE(root.exists("/flash/rw/pckg/a.npk"));
    EXPECT_TRUE(root.exists("/flash/var/pckg/b.npk"));
    EXPECT_EQ(root.read("/flash/PCKGS_CHANGED"), "");
    EXPECT_FALSE(root.exists("/ram/MANIFEST"));
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST_F(UpgradeRun, BrokenUploadsAreReportedAndTheFallbackDirectoryIsScanned) {
    std::string good = package("c", kV1);
    e2e::upload(root, kUploads, "junk.npk", "not a package at all");
    e2e::upload(root, kUploads, "cut.dpk", good.substr(0, good.size() / 2));
    // Not looked at: hidden, upper-case suffix, other suffix.
    e2e::upload(root, kUploads, ".hidden.npk", package("hidden", kV1));
    e2e::upload(root, kUploads, "upper.NPK", package("upper", kV1));
    e2e::upload(root, kUploads, "other.npk.bak", package("other", kV1));
    // A name that could not be carried by the manifest is refused.
    e2e::upload(root, kUploads, "with space.npk", package("spaced", kV1));
    e2e::upload(root, kUploads, "tab\t.npk", package("tabbed", kV1));
    e2e::upload(root, kFallbackUploads, "c.npk", good);
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "ERROR: broken package junk.npk\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "ERROR: broken package cut.dpk\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "ERROR: broken package with space.npk\n")) << result.out;
    EXPECT_TRUE(contains(result.out, "ERROR: broken package tab\t.npk\n")) << result.out;
    for (const char* ignored : {"hidden", "upper", "other", "spaced", "tabbed"}) {
        EXPECT_FALSE(contains(result.out, std::string(ignored) + ".npk")) << result.out;
        EXPECT_FALSE(root.exists(std::string("/flash/var/pdb/") + ignored)) << ignored;
    }
    EXPECT_TRUE(contains(result.out, "installed c-1.0\n")) << result.out;
    EXPECT_TRUE(root.exists("/flash/var/pdb/c/version"));
    // Every error is kept in the post-log, before the install.
    std::string log = root.read("/flash/postlog");
    EXPECT_LT(positionOf(log, "ERROR: broken package junk.npk\n"),
              positionOf(log, "installed c-1.0\n"));
}

TEST_F(UpgradeRun, DowngradeMarkerIsConsumedEvenWithoutUploads) {
    e2e::addInstalledEntry(root, "a", kV2);
    root.write("/rw/DOWNGRADE", "");
    std::string before = root.listing();
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(root.exists("/rw/DOWNGRADE"));
    // Nothing else changed; the post-log was neither reserved nor written.
    root.write("/rw/DOWNGRADE", "");
    EXPECT_EQ(root.listing(), before);
    EXPECT_FALSE(root.exists("/flash/postlog"));
}

TEST_F(UpgradeRun, DowngradeNeedsTheMarker) {
    e2e::addInstalledEntry(root, "a", kV2);
    e2e::upload(root, kUploads, "a.npk", package("a", kV1));
    std::string before = e2e::listingWithoutScratch(root);
    auto refused = upgrade();
    EXPECT_EQ(refused.status, 0) << refused.out;
    EXPECT_TRUE(contains(refused.out,
                         "WARNING: omitting package a-1.0: newer package a-2.0 is already "
                         "installed\n"))
        << refused.out;
    EXPECT_EQ(e2e::listingWithoutScratch(root), before);

    root.write("/rw/DOWNGRADE", "");
    auto allowed = upgrade();
    EXPECT_EQ(allowed.status, 0) << allowed.out;
    EXPECT_TRUE(contains(allowed.out, "installed a-1.0\n")) << allowed.out;
    EXPECT_EQ(root.read("/flash/var/pdb/a/version"), std::to_string(kV1) + " 1000\n");
    EXPECT_FALSE(root.exists("/rw/DOWNGRADE"));
}

TEST_F(UpgradeRun, DowngradeOptionPrefersTheOlderCandidate) {
    e2e::addInstalledEntry(root, "a", makeVersion(3, 0, 'f', 0));
    e2e::upload(root, kUploads, "a1.npk", package("a", kV1));
    e2e::upload(root, kUploads, "a2.npk", package("a", kV2));
    auto result = upgrade({"-down"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(contains(result.out,
                         "WARNING: omitting package a-2.0: older package is already provided\n"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "installed a-1.0\n")) << result.out;
    EXPECT_EQ(root.read("/flash/var/pdb/a/version"), std::to_string(kV1) + " 1000\n");
}

TEST_F(UpgradeRun, OneFailedCandidateCancelsTheWholeUpgrade) {
    e2e::addInstalledEntry(root, "a", kV1);
    e2e::upload(root, kUploads, "a.npk", package("a", kV2));
    // b depends on a, so it is installed second; its signature does not verify.
    auto bad = e2e::simplePackage("b", kV1);
    bad.dependencies.push_back({"a", 0, 0, 0});
    e2e::upload(root, kUploads, "b.npk", pkgwriter::writePackage(bad, nullptr));
    std::string before = e2e::listingWithoutScratch(root);
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_LT(positionOf(result.out, "installed a-2.0\n"),
              positionOf(result.out, "ERROR: installation of b-1.0 failed: broken package\n"));
    EXPECT_EQ(e2e::listingWithoutScratch(root), before);
    EXPECT_EQ(root.read("/flash/var/pdb/a/version"), std::to_string(kV1) + " 1000\n");
    EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST_F(UpgradeRun, CandidatesAreInstalledInDependencyOrder) {
    // a chain named against the alphabet: zeta needs mid, mid needs alpha
    auto alpha = e2e::simplePackage("alpha", kV1);
    auto mid = e2e::simplePackage("mid", kV1);
    mid.dependencies.push_back({"alpha", kV1, 0, 0});
    auto zeta = e2e::simplePackage("zeta", kV1);
    zeta.dependencies.push_back({"mid", 0, 0, 0});
    e2e::upload(root, kUploads, "1-zeta.npk", e2e::signedPackage(zeta));
    e2e::upload(root, kUploads, "2-alpha.npk", e2e::signedPackage(alpha));
    e2e::upload(root, kUploads, "3-mid.npk", e2e::signedPackage(mid));
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    size_t a = positionOf(result.out, "installed alpha-1.0\n");
    size_t m = positionOf(result.out, "installed mid-1.0\n");
    size_t z = positionOf(result.out, "installed zeta-1.0\n");
    EXPECT_LT(a, m);
    EXPECT_LT(m, z);
    EXPECT_EQ(root.read("/flash/var/pdb/zeta/deps"), "mid 0 0\n");
    EXPECT_EQ(root.read("/flash/postlog"),
              "installed alpha-1.0\ninstalled mid-1.0\ninstalled zeta-1.0\n");
}

TEST_F(UpgradeRun, NewerCandidateOfTheSameNameWins) {
    e2e::upload(root, kUploads, "a1.npk", package("a", kV1));
    e2e::upload(root, kUploads, "a2.npk", package("a", kV2));
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(contains(result.out,
                         "WARNING: omitting package a-1.0: newer package is already provided\n"))
        << result.out;
    EXPECT_TRUE(contains(result.out, "installed a-2.0\n")) << result.out;
    EXPECT_EQ(root.read("/flash/var/pdb/a/version"), std::to_string(kV2) + " 1000\n");
}

TEST_F(UpgradeRun, UserDisabledPackageStaysDisabledInItsNewVersion) {
    e2e::addInstalledEntry(root, "base", kV1);
    e2e::addInstalledEntry(root, "a", kV1, {}, "user\n");
    e2e::upload(root, kUploads, "a.npk", package("a", kV2));
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "installed (disabled) a-2.0\n")) << result.out;
    EXPECT_FALSE(contains(result.out, "enabled a-2.0")) << result.out;
    EXPECT_EQ(root.read("/flash/var/pdb/a/version"), std::to_string(kV2) + " 1000\n");
    EXPECT_EQ(root.read("/flash/var/pdb/a/disabled"), "user\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/a/enabled"));
}

TEST_F(UpgradeRun, UserEnabledPackageKeepsItsChoice) {
    e2e::addInstalledEntry(root, "a", kV1);
    root.write("/flash/var/pdb/a/enabled", "user\n");
    e2e::upload(root, kUploads, "a.npk", package("a", kV2));
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "installed a-2.0\n")) << result.out;
    EXPECT_EQ(root.read("/flash/var/pdb/a/enabled"), "user\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/a/disabled"));
}

TEST_F(UpgradeRun, PackagesDisabledOnTheWayAreEnabledAgain) {
    // z excludes x; y loses its only provider and goes with it. After the run
    // nothing excludes y any more, so it is turned back on; x stays off.
    e2e::addInstalledEntry(root, "x", kV1);
    e2e::addInstalledEntry(root, "y", kV1, {{"x", 0, 0, 0}});
    auto z = e2e::simplePackage("z", kV1);
    z.conflicts.push_back({"x", 0, 0, 0});
    e2e::upload(root, kUploads, "z.npk", e2e::signedPackage(z));
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_LT(positionOf(result.out, "installed z-1.0\n"),
              positionOf(result.out, "enabled y-1.0\n"));
    EXPECT_FALSE(contains(result.out, "enabled x-1.0")) << result.out;
    EXPECT_EQ(root.read("/flash/var/pdb/x/disabled"), "auto\n");
    EXPECT_FALSE(root.exists("/flash/var/pdb/y/disabled"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/y/enabled"));
}

TEST_F(UpgradeRun, ImagePartCandidateMovesIntoItsDatabaseDirectory) {
    auto recipe = e2e::simplePackage("kern", kV1);
    recipe.imagePart = std::string(10000, 'K');
    std::string bytes = e2e::signedPackage(recipe);
    e2e::upload(root, kUploads, "kern.npk", bytes);
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "installed kern-1.0\n")) << result.out;
    EXPECT_EQ(root.read("/flash/var/pdb/kern/image"), bytes);
    EXPECT_FALSE(root.exists("/flash/rw/pckg/kern.npk"));
    // Described by its image: no metadata files.
    EXPECT_FALSE(root.exists("/flash/var/pdb/kern/version"));
    EXPECT_EQ(root.read("/flash/opt/kern/README"), "package kern\n");
    EXPECT_FALSE(root.exists("/flash/bootimage"));
}

TEST_F(UpgradeRun, BootImageCandidateBecomesTheBootImage) {
    auto recipe = e2e::simplePackage("kern", kV1);
    recipe.imagePart = std::string(5000, 'B');
    recipe.flags = 1;
    std::string bytes = e2e::signedPackage(recipe);
    e2e::upload(root, kUploads, "kern.npk", bytes);
    auto result = upgrade({}, {{"bootimage", "1"}});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(root.read("/flash/bootimage"), bytes);
    EXPECT_EQ(testsupport::treeListing(root.at("/flash/var/pdb/kern")),
              "/image 120777 -> /flash/bootimage\n");
    EXPECT_FALSE(root.exists("/flash/rw/pckg/kern.npk"));
    EXPECT_EQ(root.read("/flash/UPGRADED"), "");
    // The boot package's files are not extracted.
    EXPECT_FALSE(root.exists("/flash/opt/kern"));
}

TEST_F(UpgradeRun, SameVersionCandidateIsOmittedAndTheOthersGoOn) {
    auto recipe = e2e::simplePackage("kern", kV1);
    recipe.imagePart = std::string(3000, 'S');
    std::string bytes = e2e::signedPackage(recipe);
    ASSERT_EQ(root.install(bytes).status, 0);
    std::string installedImage = root.read("/flash/var/pdb/kern/image");
    e2e::upload(root, kUploads, "kern.npk", bytes);
    e2e::upload(root, kUploads, "b.npk", package("b", kV1));
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(
        contains(result.out, "WARNING: omitting package kern-1.0: it is already installed\n"))
        << result.out;
    EXPECT_FALSE(contains(result.out, "installed kern-1.0")) << result.out;
    EXPECT_TRUE(contains(result.out, "installed b-1.0\n")) << result.out;
    EXPECT_TRUE(root.exists("/flash/var/pdb/b/version"));
    EXPECT_EQ(root.read("/flash/rw/pckg/kern.npk"), bytes);
    EXPECT_EQ(root.read("/flash/var/pdb/kern/image"), installedImage);
    EXPECT_EQ(root.read("/flash/opt/kern/README"), "package kern\n");
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST_F(UpgradeRun, NothingInstalledAndNothingUploadedIsAFailedInstallation) {
    auto result = upgrade();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "ERROR: router installation failed!!!\n");
    EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
    EXPECT_EQ(root.read("/flash/postlog"), "ERROR: router installation failed!!!\n");
}

}  // namespace
