// Loading a database whose packages are described by stored package images,
// written by our own package writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "database/DatabaseTree.h"
#include "database/PackageDatabase.h"
#include "package/PartReader.h"
#include "tools/PackageWriter.h"

namespace {

using dbtest::DatabaseTree;
using dbtest::findRecord;
using dbtest::positionOf;

const VersionNumber kV62 = makeVersion(6, 2, kStageFinal, 0);
const VersionNumber kV10 = makeVersion(1, 0, kStageFinal, 0);

pkgwriter::PackageRecipe fullPackage(const std::string& name) {
    pkgwriter::PackageRecipe recipe;
    recipe.name = name;
    recipe.version = kV62;
    recipe.buildTime = 1234567890;
    recipe.flags = 0x10;
    recipe.auxText = "aux";
    recipe.architecture = "mipsbe";
    recipe.description = "a description";
    recipe.note = "the note";
    recipe.dependencies = {{"base", kV10, 0, 0}};
    recipe.provides = {{"api", 1, 2, -4}};
    recipe.conflicts = {{"old", 0, kV10, 0}};
    recipe.imagePart = std::string(5000, 'i');
    recipe.files = {{pkgwriter::EntryType::File, "flash/bin/tool", 0755, 0, "contents"}};
    return recipe;
}

pkgwriter::PackageRecipe plainPackage(const std::string& name, VersionNumber version) {
    pkgwriter::PackageRecipe recipe;
    recipe.name = name;
    recipe.version = version;
    recipe.buildTime = 77;
    return recipe;
}

std::string bundleImage(const std::string& name, const std::vector<std::string>& members) {
    pkgwriter::BundleRecipe recipe;
    recipe.name = name;
    recipe.version = kV62;
    recipe.buildTime = 99;
    recipe.note = "bundle note";
    recipe.imagePart = "whole";
    for (const std::string& member : members) recipe.members.push_back(plainPackage(member, kV10));
    return pkgwriter::writeBundle(recipe);
}

TEST(ImageScan, SingleImageIsReadByItsHeaderParts) {
    DatabaseTree tree;
    tree.entry("single", "image", pkgwriter::writePackage(fullPackage("single")));
    // Metadata files next to an image are stale leftovers and must be ignored.
    tree.entry("single", "version", "1 1\n");
    tree.entry("single", "deps", "x 1\n");
    tree.entry("single", "disabled", "user\n");
    tree.schedule("single", "enable\n");
    EXPECT_TRUE(tree.run([] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        loadInstalledPackages(context, false, "mipsbe");
        ASSERT_EQ(context.packages.size(), 1u);
        const PackageRecord& r = *context.packages[0];
        EXPECT_EQ(r.name, "single");
        EXPECT_EQ(r.version, kV62);
        EXPECT_EQ(r.buildTime, 1234567890u);
        EXPECT_EQ(r.flags, 0x10u);
        EXPECT_EQ(r.auxText, "aux");
        EXPECT_EQ(r.note, "the note");
        EXPECT_EQ(r.architecture, "i386") << "the architecture part is not read from images";
        EXPECT_EQ(r.description, "");
        EXPECT_FALSE(r.hasImagePart);
        ASSERT_EQ(r.dependencies.size(), 1u);
        EXPECT_EQ(r.dependencies[0].name, "base");
        EXPECT_EQ(r.dependencies[0].min, kV10);
        ASSERT_EQ(r.provides.size(), 1u);
        EXPECT_EQ(r.provides[0].precedence, -4);
        ASSERT_EQ(r.conflicts.size(), 1u);
        EXPECT_EQ(r.conflicts[0].max, kV10);
        EXPECT_FALSE(r.isBundle);
        EXPECT_TRUE(r.files.empty());
        EXPECT_TRUE(r.disabled);
        EXPECT_TRUE(r.userForced);
        EXPECT_EQ(r.pendingAction, kActionEnable);
        EXPECT_EQ(context.architecture, "mipsbe");
        EXPECT_EQ(console.str(), "");
    }));
}

TEST(ImageScan, BundleMembersPrecedeTheirBundle) {
    DatabaseTree tree;
    tree.entry("bund", "image", bundleImage("bund", {"m1", "m2"}));
    tree.entry("m1", "disabled", "auto\n");
    EXPECT_TRUE(tree.run([] {
        InstallContext context;
        loadInstalledPackages(context, false, "i386");
        ASSERT_EQ(context.packages.size(), 3u) << "the member directory adds no second record";
        const PackageRecord& m1 = *context.packages[0];
        const PackageRecord& m2 = *context.packages[1];
        const PackageRecord& bund = *context.packages[2];
        EXPECT_EQ(m1.name, "m1");
        EXPECT_EQ(m2.name, "m2");
        EXPECT_EQ(bund.name, "bund");
        EXPECT_TRUE(bund.isBundle);
        EXPECT_EQ(bund.note, "bundle note");
        EXPECT_EQ(bund.bundle.name, "");
        for (const PackageRecord* m : {&m1, &m2}) {
            EXPECT_EQ(m->version, kV10);
            EXPECT_EQ(m->bundle.name, "bund");
            EXPECT_EQ(m->bundle.min, kV62);
            EXPECT_EQ(m->bundle.max, kV62);
            EXPECT_EQ(m->bundle.precedence, 0);
            EXPECT_FALSE(m->isBundle);
        }
        EXPECT_TRUE(m1.disabled) << "members get their own state files";
        EXPECT_FALSE(m2.disabled);
    }));
}

TEST(ImageScan, EveryKindOfEntryInOneDatabase) {
    DatabaseTree tree;
    tree.entry("single", "image", pkgwriter::writePackage(fullPackage("single")));
    tree.entry("bund", "image", bundleImage("bund", {"m1", "m2"}));
    // described twice: once in its directory and once in the image directory
    tree.entry("dual", "image", pkgwriter::writePackage(plainPackage("dual", kV10)));
    tree.file("/rw/pckg/.images/dual", pkgwriter::writePackage(plainPackage("dual", kV62)));
    tree.file("/rw/pckg/.images/extbund", bundleImage("extbund", {"x1"}));
    tree.entry("extbund", "disabled", "user\n");
    // an image in the image directory for a name the database does not list
    tree.file("/rw/pckg/.images/orphan", pkgwriter::writePackage(plainPackage("orphan", kV10)));
    tree.entry("meta", "version", "16777216 5\n");
    tree.entry("meta", "files", "flash/m\n");
    tree.entry("garbage", "image", "not a package at all");
    tree.entry("garbage", "version", "3 4\n");
    tree.entry(".hidden", "image", pkgwriter::writePackage(plainPackage("hidden", kV10)));
    tree.file("/rw/pckg/.images/.hidden", pkgwriter::writePackage(plainPackage("hidden", kV10)));
    EXPECT_TRUE(tree.run([] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        loadInstalledPackages(context, false, "i386");
        EXPECT_EQ(console.str(), "");

        std::vector<const PackageRecord*> duals;
        for (const auto& r : context.packages)
            if (r->name == "dual") duals.push_back(r.get());
        ASSERT_EQ(duals.size(), 2u);
        EXPECT_EQ(duals[0]->version, kV10) << "the database's own image is scanned first";
        EXPECT_EQ(duals[1]->version, kV62);

        const PackageRecord* single = findRecord(context, "single");
        const PackageRecord* bund = findRecord(context, "bund");
        const PackageRecord* m1 = findRecord(context, "m1");
        const PackageRecord* m2 = findRecord(context, "m2");
        const PackageRecord* extbund = findRecord(context, "extbund");
        const PackageRecord* x1 = findRecord(context, "x1");
        const PackageRecord* meta = findRecord(context, "meta");
        const PackageRecord* garbage = findRecord(context, "garbage");
        ASSERT_TRUE(single && bund && m1 && m2 && extbund && x1 && meta && garbage);
        EXPECT_EQ(findRecord(context, "orphan"), nullptr);
        EXPECT_EQ(findRecord(context, "hidden"), nullptr);
        EXPECT_EQ(findRecord(context, ".hidden"), nullptr);
        EXPECT_EQ(context.packages.size(), 10u);

        EXPECT_EQ(positionOf(context, m1) + 1, positionOf(context, m2));
        EXPECT_EQ(positionOf(context, m2) + 1, positionOf(context, bund));
        EXPECT_EQ(positionOf(context, x1) + 1, positionOf(context, extbund));
        // image directory records come after those of the database directories,
        // and entries described by metadata files come last
        EXPECT_LT(positionOf(context, single), positionOf(context, extbund));
        EXPECT_LT(positionOf(context, bund), positionOf(context, duals[1]));
        EXPECT_LT(positionOf(context, extbund), positionOf(context, meta));
        // an image that opens but cannot be parsed still yields its record in
        // the first scan
        EXPECT_LT(positionOf(context, garbage), positionOf(context, duals[1]));

        EXPECT_TRUE(extbund->disabled);
        EXPECT_TRUE(extbund->userForced);
        EXPECT_EQ(x1->bundle.name, "extbund");
        EXPECT_EQ(meta->version, 16777216u);
        EXPECT_EQ(meta->files, std::set<std::string>{"/flash/m"});
        // An unreadable image leaves the entry to its metadata files.
        EXPECT_EQ(garbage->version, 3u);
        EXPECT_EQ(garbage->buildTime, 4u);
        EXPECT_TRUE(garbage->isBundle);
        EXPECT_EQ(garbage->pendingAction, kActionNone);
    }));
}

TEST(ImageScan, ImageOfAnotherNameLeavesTheDirectoryToItsFiles) {
    DatabaseTree tree;
    tree.entry("renamed", "image", pkgwriter::writePackage(plainPackage("other", kV10)));
    tree.entry("renamed", "version", "5 6\n");
    EXPECT_TRUE(tree.run([] {
        InstallContext context;
        loadInstalledPackages(context, false, "i386");
        ASSERT_EQ(context.packages.size(), 2u);
        EXPECT_EQ(context.packages[0]->name, "other");
        EXPECT_EQ(context.packages[0]->version, kV10);
        EXPECT_EQ(context.packages[1]->name, "renamed");
        EXPECT_EQ(context.packages[1]->version, 5u);
    }));
}

TEST(ImageScan, TruncatedMemberHeaderEndsTheBundle) {
    DatabaseTree tree;
    std::vector<pkgwriter::Part> parts = {
        {kPartBundleHeader, pkgwriter::buildHeaderPayload("bund", kV62, 1)},
        {kPartHeader, pkgwriter::buildHeaderPayload("m1", kV10, 2)},
        {kPartHeader, std::string(10, 'm')},  // shorter than a header
        {kPartHeader, pkgwriter::buildHeaderPayload("late", kV10, 3)},
    };
    std::string body = pkgwriter::serializeParts(parts);
    tree.entry("bund", "image",
               pkgwriter::fileHeader(kMagicRegular, static_cast<uint32_t>(body.size())) + body);
    EXPECT_TRUE(tree.run([] {
        InstallContext context;
        loadInstalledPackages(context, false, "i386");
        // m1, the member that could not be parsed, and the bundle; nothing
        // after the damaged header is reached
        ASSERT_EQ(context.packages.size(), 3u);
        EXPECT_EQ(context.packages[0]->name, "m1");
        EXPECT_EQ(context.packages[2]->name, "bund");
        EXPECT_EQ(context.packages[2]->version, kV62);
        EXPECT_EQ(findRecord(context, "late"), nullptr);
    }));
}

// Bytes returned by read calls of this process so far.
bool bytesReadSoFar(int procIo, uint64_t& value) {
    char text[1024];
    if (lseek(procIo, 0, SEEK_SET) != 0) return false;
    ssize_t n = read(procIo, text, sizeof text - 1);
    if (n <= 0) return false;
    text[n] = '\0';
    const char* field = std::strstr(text, "rchar:");
    if (!field) return false;
    value = std::strtoull(field + 6, nullptr, 10);
    return true;
}

// Images are large; only their header parts may be read. (The full figure for
// fifty packages is measured by the database load benchmark.)
TEST(ImageScan, LargeImagesAreReadByTheirHeadersOnly) {
    constexpr uint32_t kImageSize = 16u << 20;
    constexpr uint64_t kBudgetPerPackage = (1u << 20) / 50;
    DatabaseTree tree;
    const std::vector<std::string> names = {"big1", "big2", "big3"};
    for (const std::string& name : names) {
        pkgwriter::PackageRecipe recipe = fullPackage(name);
        recipe.imagePart = std::string(kImageSize, 'z');
        tree.entry(name, "image", pkgwriter::writePackage(recipe));
    }
    std::string root = tree.root.path();
    int status = testsupport::runInChild([&] {
        // opened before the root changes: /proc is not inside the test root
        int io = open("/proc/self/io", O_RDONLY);
        ASSERT_GE(io, 0);
        ASSERT_EQ(chroot(root.c_str()), 0);
        ASSERT_EQ(chdir("/"), 0);
        InstallContext context;
        uint64_t before = 0;
        uint64_t after = 0;
        ASSERT_TRUE(bytesReadSoFar(io, before));
        loadInstalledPackages(context, false, "i386");
        ASSERT_TRUE(bytesReadSoFar(io, after));
        EXPECT_EQ(context.packages.size(), names.size());
        EXPECT_LT(after - before, kBudgetPerPackage * names.size());
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
