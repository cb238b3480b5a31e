#include <gtest/gtest.h>

#include "e2e/RouterRoot.h"

namespace {

using e2e::RouterRoot;

constexpr VersionNumber kV1 = makeVersion(1, 0, 'f', 0);
constexpr VersionNumber kSystem300 = makeVersion(3, 0, 'f', 0);
constexpr VersionNumber kSystem321 = makeVersion(3, 21, 'f', 0);
constexpr VersionNumber kSystem322 = makeVersion(3, 22, 'f', 0);
// The last version below 3.22 final.
constexpr VersionNumber kJustBelow322 = makeVersion(3, 22, 'e', 255);

PackageRange onSystem(VersionNumber min) {
    return {"system", min, 0, 0};
}

bool installed(const RouterRoot& root, const std::string& name) {
    return root.exists("/flash/var/pdb/" + name) && root.exists("/flash/opt/" + name + "/README");
}

TEST(Cleanup, RemovesWhatDoesNotNeedARecentSystem) {
    RouterRoot root;
    e2e::addInstalledEntry(root, "system", kSystem322);
    // Protected by name whatever they depend on.
    e2e::addInstalledEntry(root, "ostrel", kV1, {onSystem(0)});
    e2e::addInstalledEntry(root, "disk-drivers", kV1, {onSystem(kSystem321)});
    e2e::addInstalledEntry(root, "systemx", kV1);
    e2e::addInstalledEntry(root, "at322", kV1, {onSystem(kSystem322)});
    e2e::addInstalledEntry(root, "at321", kV1, {onSystem(kSystem321)});
    e2e::addInstalledEntry(root, "below322", kV1, {onSystem(kJustBelow322)});
    e2e::addInstalledEntry(root, "minzero", kV1, {onSystem(0)});
    e2e::addInstalledEntry(root, "twodeps", kV1, {onSystem(kSystem300), onSystem(kSystem322)});
    e2e::addInstalledEntry(root, "onostrel", kV1, {{"ostrel", 0, 0, 0}});
    // A bundle without any dependency of its own, whose member needs 3.22.
    pkgwriter::BundleRecipe bundle;
    bundle.name = "bun";
    bundle.version = kV1;
    bundle.buildTime = 1000;
    bundle.members.push_back(e2e::simplePackage("member", kV1));
    bundle.members.back().dependencies.push_back(onSystem(kSystem322));
    std::string bundleImage = e2e::signedBundle(bundle);
    root.write("/flash/var/pdb/bun/image", bundleImage);

    auto result = root.run({"--cleanup"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    for (const char* kept : {"system", "ostrel", "disk-drivers", "at322", "twodeps"})
        EXPECT_TRUE(installed(root, kept)) << kept;
    for (const char* removed : {"systemx", "at321", "below322", "minzero", "onostrel"}) {
        EXPECT_FALSE(root.exists(std::string("/flash/var/pdb/") + removed)) << removed;
        EXPECT_FALSE(root.exists(std::string("/flash/opt/") + removed + "/README")) << removed;
    }
    EXPECT_EQ(root.read("/flash/var/pdb/bun/image"), bundleImage);
    // The cleanup keeps no post-log.
    EXPECT_FALSE(root.exists("/flash/postlog"));
    EXPECT_TRUE(root.temporaryFiles().empty());
}

TEST(Cleanup, KeepsWhatARemainingPackageDependsOn) {
    RouterRoot root;
    e2e::addInstalledEntry(root, "system", kSystem322);
    e2e::addInstalledEntry(root, "lib", kV1);
    e2e::addInstalledEntry(root, "app", kV1, {{"lib", 0, 0, 0}, onSystem(kSystem322)});
    e2e::addInstalledEntry(root, "old", kV1);
    auto result = root.run({"--cleanup"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "WARNING: can not uninstall lib-1.0: app depends on it\n");
    EXPECT_TRUE(installed(root, "lib"));
    EXPECT_TRUE(installed(root, "app"));
    EXPECT_FALSE(root.exists("/flash/var/pdb/old"));
}

TEST(Cleanup, RefusesToRemoveEveryPackage) {
    RouterRoot root;
    e2e::addInstalledEntry(root, "systemx", kV1);
    e2e::addInstalledEntry(root, "tool", kV1, {{"systemx", 0, 0, 0}});
    std::string before = root.listing();
    auto result = root.run({"--cleanup"});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "ERROR: can not uninstall or disable all packages\n");
    EXPECT_EQ(root.listing(), before);
}

}  // namespace
