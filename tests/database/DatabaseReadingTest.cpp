// Reading package entries that are described by metadata files.
#include <gtest/gtest.h>

#include <sstream>

#include "database/DatabaseTree.h"
#include "database/PackageDatabase.h"

namespace {

using dbtest::DatabaseTree;

bool sameRanges(const std::vector<PackageRange>& list, const std::vector<PackageRange>& expected) {
    if (list.size() != expected.size()) return false;
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].name != expected[i].name || list[i].min != expected[i].min ||
            list[i].max != expected[i].max || list[i].precedence != expected[i].precedence)
            return false;
    return true;
}

// Reads one entry in a chrooted child and hands the record to check there.
bool readEntry(DatabaseTree& tree, const std::string& name,
               const std::function<void(const PackageRecord&)>& check) {
    return tree.run([&] {
        PackageRecord record(name);
        readDatabaseEntry(record);
        check(record);
    });
}

TEST(DatabaseEntry, CompleteMetadataFiles) {
    DatabaseTree tree;
    tree.entry("sys", "version", "100794368 1700000000\n");
    tree.entry("sys", "deps", "base 1 2\nlib 0 0\n");
    tree.entry("sys", "provides", "api 16777216 33554432 -3\nold 0 0 7\n");
    tree.entry("sys", "conflicts", "legacy 0 5\n");
    tree.entry("sys", "files", "flash/bin/a\n/flash/bin/b\n\n\nflash/lib/c\n");
    EXPECT_TRUE(readEntry(tree, "sys", [](const PackageRecord& r) {
        EXPECT_EQ(r.version, 100794368u);
        EXPECT_EQ(r.buildTime, 1700000000u);
        EXPECT_TRUE(sameRanges(r.dependencies, {{"base", 1, 2, 0}, {"lib", 0, 0, 0}}));
        EXPECT_TRUE(sameRanges(r.provides, {{"api", 16777216, 33554432, -3}, {"old", 0, 0, 7}}));
        EXPECT_TRUE(sameRanges(r.conflicts, {{"legacy", 0, 5, 0}}));
        EXPECT_EQ(r.files, (std::set<std::string>{"/flash/bin/a", "/flash/bin/b", "/flash/lib/c"}));
        EXPECT_FALSE(r.isBundle);
        EXPECT_EQ(r.bundle.name, "");
        EXPECT_FALSE(r.disabled);
        EXPECT_FALSE(r.userForced);
        EXPECT_EQ(r.pendingAction, kActionNone);
        EXPECT_EQ(r.architecture, "") << "metadata files carry no architecture";
    }));
}

TEST(DatabaseEntry, NoFilesListMeansBundle) {
    DatabaseTree tree;
    tree.entry("b", "version", "1 2\n");
    tree.entry("member", "version", "1 2\n");
    tree.entry("member", "bundle", "b\n");
    tree.entry("member", "files", "");
    EXPECT_TRUE(readEntry(tree, "b", [](const PackageRecord& r) {
        EXPECT_TRUE(r.isBundle);
        EXPECT_TRUE(r.files.empty());
        EXPECT_EQ(r.pendingAction, kActionNone);
    }));
    EXPECT_TRUE(readEntry(tree, "member", [](const PackageRecord& r) {
        EXPECT_FALSE(r.isBundle);
        EXPECT_EQ(r.bundle.name, "b");
        EXPECT_EQ(r.bundle.min, 0u);
        EXPECT_EQ(r.bundle.max, 0u);
        // A bundle file leaves the member to be removed unless its bundle
        // decides otherwise.
        EXPECT_EQ(r.pendingAction, kActionUninstall);
    }));
}

TEST(DatabaseEntry, BrokenListsAndVersionsScheduleUninstall) {
    DatabaseTree tree;
    const std::string good = "1 2\n";
    tree.entry("noversion", "files", "");
    tree.entry("textversion", "version", "abc 5\n");
    tree.entry("negversion", "version", "-1 5\n");
    tree.entry("halfversion", "version", "7\n");
    tree.entry("hugeversion", "version", "4294967296 1\n");
    tree.entry("threeprovides", "version", good);
    tree.entry("threeprovides", "provides", "p 1 2 3\nq 1 2\n");
    tree.entry("fourdeps", "version", good);
    tree.entry("fourdeps", "deps", "a 1 2 3\nb 4 5\n");
    tree.entry("negdeps", "version", good);
    tree.entry("negdeps", "conflicts", "a -1 2\n");
    struct Case {
        const char* name;
        VersionNumber version;
        size_t deps, provides, conflicts;
    };
    const Case cases[] = {
        {"noversion", 0, 0, 0, 0},   {"textversion", 0, 0, 0, 0}, {"negversion", 0, 0, 0, 0},
        {"halfversion", 7, 0, 0, 0}, {"hugeversion", 0, 0, 0, 0}, {"threeprovides", 1, 0, 1, 0},
        {"fourdeps", 1, 1, 0, 0},    {"negdeps", 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(readEntry(tree, c.name, [&c](const PackageRecord& r) {
            EXPECT_EQ(r.pendingAction, kActionUninstall) << c.name;
            EXPECT_EQ(r.version, c.version) << c.name;
            EXPECT_EQ(r.dependencies.size(), c.deps) << c.name;
            EXPECT_EQ(r.provides.size(), c.provides) << c.name;
            EXPECT_EQ(r.conflicts.size(), c.conflicts) << c.name;
        })) << c.name;
    }
}

TEST(DatabaseEntry, StateFiles) {
    DatabaseTree tree;
    for (const char* name : {"auto", "user", "empty", "enabled", "both", "none"}) {
        tree.entry(name, "version", "1 1\n");
        tree.entry(name, "files", "");
    }
    tree.entry("auto", "disabled", "auto\n");
    tree.entry("user", "disabled", "user\n");
    tree.entry("empty", "disabled", "");
    tree.entry("enabled", "enabled", "anything\n");
    tree.entry("both", "disabled", "auto\n");
    tree.entry("both", "enabled", "user\n");
    struct Case {
        const char* name;
        bool disabled, userForced;
    };
    const Case cases[] = {{"auto", true, false},    {"user", true, true},  {"empty", true, true},
                          {"enabled", false, true}, {"both", true, false}, {"none", false, false}};
    for (const Case& c : cases) {
        EXPECT_TRUE(readEntry(tree, c.name, [&c](const PackageRecord& r) {
            EXPECT_EQ(r.disabled, c.disabled) << c.name;
            EXPECT_EQ(r.userForced, c.userForced) << c.name;
            EXPECT_EQ(r.pendingAction, kActionNone) << c.name;
        })) << c.name;
    }
}

TEST(DatabaseEntry, ScheduleWords) {
    DatabaseTree tree;
    tree.entry("en", "version", "1 1\n");
    tree.schedule("en", "enable\n");
    tree.entry("dis", "version", "1 1\n");
    tree.schedule("dis", "disable");
    tree.entry("un", "version", "1 1\n");
    tree.schedule("un", "uninstall\n");
    tree.entry("other", "version", "1 1\n");
    tree.schedule("other", "reboot\n");
    tree.schedule("broken", "enable\n");  // no "version": uninstall, then enable wins
    tree.schedule("brokenother", "Enable\n");
    tree.entry("placeholder", "version", "4294967295 4294967295\n");
    tree.schedule("placeholder", "uninstall\n");
    struct Case {
        const char* name;
        PendingAction action;
        bool userForced;
    };
    const Case cases[] = {
        {"en", kActionEnable, true},        {"dis", kActionDisable, true},
        {"un", kActionUninstall, false},    {"other", kActionNone, false},
        {"broken", kActionEnable, true},    {"brokenother", kActionUninstall, false},
        {"placeholder", kActionNone, false}};
    for (const Case& c : cases) {
        EXPECT_TRUE(readEntry(tree, c.name, [&c](const PackageRecord& r) {
            EXPECT_EQ(r.pendingAction, c.action) << c.name;
            EXPECT_EQ(r.userForced, c.userForced) << c.name;
        })) << c.name;
    }
}

TEST(DatabaseEntry, ImageDescribedRecordsKeepTheirMetadata) {
    DatabaseTree tree;
    tree.entry("img", "version", "garbage\n");
    tree.entry("img", "deps", "x y z\n");
    tree.entry("img", "disabled", "auto\n");
    EXPECT_TRUE(tree.run([] {
        PackageRecord record("img");
        record.version = 5;
        readDatabaseEntry(record);
        EXPECT_EQ(record.version, 5u);
        EXPECT_TRUE(record.dependencies.empty());
        EXPECT_FALSE(record.isBundle) << "the missing files list says nothing about an image";
        EXPECT_EQ(record.pendingAction, kActionNone);
        EXPECT_TRUE(record.disabled);
    }));
}

TEST(DependencyFile, ReadsWordsAcrossAnyWhitespace) {
    DatabaseTree tree;
    tree.file("/lists/spaced", "  a\t1\n\n 2\nb 3 4");
    tree.file("/lists/plus", "a +1 2\n");
    tree.file("/lists/signed", "a 1 2 -2147483648\nb 1 2 2147483648\n");
    EXPECT_TRUE(tree.run([] {
        std::vector<PackageRange> list;
        EXPECT_TRUE(readDependencyFile("/lists/spaced", list, false));
        EXPECT_TRUE(sameRanges(list, {{"a", 1, 2, 0}, {"b", 3, 4, 0}}));
        list.clear();
        EXPECT_TRUE(readDependencyFile("/lists/missing", list, true));
        EXPECT_TRUE(list.empty());
        list.clear();
        EXPECT_TRUE(readDependencyFile("/lists/plus", list, false));
        EXPECT_TRUE(sameRanges(list, {{"a", 1, 2, 0}}));
        list.clear();
        EXPECT_FALSE(readDependencyFile("/lists/signed", list, true)) << "precedence overflows";
        EXPECT_TRUE(sameRanges(list, {{"a", 1, 2, INT32_MIN}}));
    }));
}

TEST(LoadInstalledPackages, MissingDatabaseWarns) {
    testsupport::TempDir root;
    ASSERT_EQ(testsupport::runChrooted(root.path(),
                                       [] {
                                           InstallContext context;
                                           std::ostringstream console;
                                           context.console.setOutput(console);
                                           loadInstalledPackages(context, false, "x86");
                                           EXPECT_EQ(console.str(),
                                                     "WARNING: could not open repo\n");
                                           EXPECT_TRUE(context.packages.empty());
                                           EXPECT_EQ(context.architecture, "x86");
                                           EXPECT_FALSE(context.console.quiet);

                                           InstallContext quiet;
                                           std::ostringstream silent;
                                           quiet.console.setOutput(silent);
                                           loadInstalledPackages(quiet, true, "");
                                           EXPECT_EQ(silent.str(), "");
                                           EXPECT_TRUE(quiet.console.quiet);
                                       }),
              0);
}

TEST(LoadInstalledPackages, MetadataEntriesSkippingDotDirectories) {
    DatabaseTree tree;
    tree.entry("alpha", "version", "1 1\n");
    tree.entry("alpha", "files", "flash/a\n");
    tree.entry("beta", "version", "2 2\n");
    tree.entry(".hidden", "version", "3 3\n");
    tree.entry(".hidden", "files", "");
    tree.directory("/flash/var/pdb/..dots");
    EXPECT_TRUE(tree.run([] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        loadInstalledPackages(context, false, "i386");
        EXPECT_EQ(console.str(), "");
        ASSERT_EQ(context.packages.size(), 2u);
        const PackageRecord* alpha = dbtest::findRecord(context, "alpha");
        const PackageRecord* beta = dbtest::findRecord(context, "beta");
        ASSERT_TRUE(alpha && beta);
        EXPECT_EQ(alpha->files, std::set<std::string>{"/flash/a"});
        EXPECT_TRUE(beta->isBundle);
        EXPECT_EQ(beta->version, 2u);
    }));
}

}  // namespace
