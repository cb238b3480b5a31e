// Writing database entries through a transaction, committing it and reading the
// entries back.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "database/DatabaseTree.h"
#include "database/DatabaseWriter.h"
#include "database/PackageDatabase.h"
#include "model/PackageReports.h"
#include "transaction/FsTransaction.h"

namespace {

using dbtest::DatabaseTree;

const VersionNumber kV62 = makeVersion(6, 2, kStageFinal, 0);

PackageRecord fullRecord() {
    PackageRecord r("pkg");
    r.version = kV62;
    r.buildTime = 4000000000u;
    r.dependencies = {{"base", 1, 4294967295u, 0}, {"lib", 0, 0, 0}};
    r.provides = {{"api", 5, 6, -7}};
    r.conflicts = {{"old", 0, 3, 0}};
    r.bundle = {"bund", kV62, kV62, 0};
    r.files = {"/flash/lib/b", "/flash/bin/a", "/flash/bin/z"};
    r.disabled = true;
    r.userForced = true;
    return r;
}

// Writes through a fresh transaction in the chrooted child and commits.
bool writeAndCommit(DatabaseTree& tree, const std::function<PackageRecord()>& make,
                    bool expectWritten = true) {
    return tree.run([&] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        PackageRecord record = make();
        FsTransaction transaction;
        EXPECT_EQ(writeDatabaseEntry(context.console, record, transaction), expectWritten);
        transaction.commit(nullptr);
        EXPECT_EQ(console.str(), "");
    });
}

TEST(DatabaseWriter, RoundTrip) {
    DatabaseTree tree;
    ASSERT_TRUE(writeAndCommit(tree, fullRecord));
    const std::string dir = "/flash/var/pdb/pkg/";
    EXPECT_EQ(tree.read(dir + "version"), std::to_string(kV62) + " 4000000000\n");
    EXPECT_EQ(tree.read(dir + "deps"), "base 1 4294967295\nlib 0 0\n");
    EXPECT_EQ(tree.read(dir + "provides"), "api 5 6 -7\n");
    EXPECT_EQ(tree.read(dir + "conflicts"), "old 0 3\n");
    EXPECT_EQ(tree.read(dir + "bundle"), "bund\n");
    EXPECT_EQ(tree.read(dir + "files"), "flash/bin/a\nflash/bin/z\nflash/lib/b\n");
    EXPECT_EQ(tree.read(dir + "disabled"), "user\n");
    EXPECT_FALSE(tree.exists(dir + "enabled"));

    EXPECT_TRUE(tree.run([] {
        PackageRecord expected = fullRecord();
        PackageRecord r("pkg");
        readDatabaseEntry(r);
        EXPECT_EQ(r.version, expected.version);
        EXPECT_EQ(r.buildTime, expected.buildTime);
        ASSERT_EQ(r.dependencies.size(), 2u);
        EXPECT_EQ(r.dependencies[0].max, 4294967295u);
        EXPECT_EQ(r.dependencies[1].name, "lib");
        ASSERT_EQ(r.provides.size(), 1u);
        EXPECT_EQ(r.provides[0].precedence, -7);
        ASSERT_EQ(r.conflicts.size(), 1u);
        EXPECT_EQ(r.conflicts[0].name, "old");
        EXPECT_EQ(r.files, expected.files);
        EXPECT_FALSE(r.isBundle);
        EXPECT_EQ(r.bundle.name, "bund");
        EXPECT_TRUE(r.disabled);
        EXPECT_TRUE(r.userForced);
        // Read back, a bundle file alone leaves the member to be removed.
        EXPECT_EQ(r.pendingAction, kActionUninstall);
    }));
}

TEST(DatabaseWriter, MinimalEntryAndLeftoversOfAnEarlierVersion) {
    DatabaseTree tree;
    const std::string dir = "/flash/var/pdb/pkg/";
    tree.entry("pkg", "bundle", "oldbund\n");
    tree.entry("pkg", "provides", "stale 1 1 1\n");
    tree.entry("pkg", "disabled", "auto\n");
    tree.entry("pkg", "enabled", "user\n");
    ASSERT_TRUE(writeAndCommit(tree, [] {
        PackageRecord r("pkg");
        r.version = 1;
        return r;
    }));
    EXPECT_EQ(tree.read(dir + "version"), "1 0\n");
    EXPECT_TRUE(tree.exists(dir + "deps"));
    EXPECT_EQ(tree.read(dir + "deps"), "");
    EXPECT_EQ(tree.read(dir + "files"), "");
    EXPECT_FALSE(tree.exists(dir + "conflicts"));
    EXPECT_FALSE(tree.exists(dir + "provides")) << "the old version's list describes nothing now";
    EXPECT_FALSE(tree.exists(dir + "bundle"));
    EXPECT_FALSE(tree.exists(dir + "disabled"));
    EXPECT_FALSE(tree.exists(dir + "enabled")) << "automatic choice leaves no state file";
}

TEST(DatabaseWriter, ImageDescribedPackagesGetStateFilesOnly) {
    for (int variant = 0; variant < 2; ++variant) {
        DatabaseTree tree;
        const std::string dir = "/flash/var/pdb/pkg/";
        tree.entry("pkg", "version", "1 1\n");
        tree.entry("pkg", "disabled", "auto\n");
        ASSERT_TRUE(writeAndCommit(tree, [variant] {
            PackageRecord r = fullRecord();
            r.bundle.name.clear();
            if (variant == 0)
                r.hasImagePart = true;
            else
                r.flags = kFlagNoMetadata | kFlagBootImage;
            r.disabled = false;
            r.userForced = true;
            return r;
        })) << variant;
        EXPECT_FALSE(tree.exists(dir + "version")) << "the image describes the package";
        EXPECT_FALSE(tree.exists(dir + "deps")) << variant;
        EXPECT_FALSE(tree.exists(dir + "files")) << variant;
        EXPECT_FALSE(tree.exists(dir + "disabled")) << variant;
        EXPECT_EQ(tree.read(dir + "enabled"), "user\n") << variant;
    }
}

TEST(DatabaseWriter, BundleRecordHasNoFilesList) {
    DatabaseTree tree;
    const std::string dir = "/flash/var/pdb/bund/";
    tree.entry("bund", "files", "flash/stale\n");
    ASSERT_TRUE(writeAndCommit(tree, [] {
        PackageRecord r("bund");
        r.isBundle = true;
        r.version = kV62;
        r.conflicts = {{"x", 0, 0, 0}};
        r.files = {"/flash/ignored"};
        return r;
    }));
    EXPECT_TRUE(tree.exists(dir + "version"));
    EXPECT_EQ(tree.read(dir + "deps"), "");
    EXPECT_EQ(tree.read(dir + "conflicts"), "x 0 0\n");
    EXPECT_FALSE(tree.exists(dir + "provides"));
    EXPECT_FALSE(tree.exists(dir + "files")) << "a files list would make it no bundle";
}

TEST(DatabaseWriter, MarkDisabledAndEnabled) {
    DatabaseTree tree;
    const std::string dir = "/flash/var/pdb/pkg/";
    tree.entry("pkg", "enabled", "user\n");
    ASSERT_TRUE(tree.run([] {
        PackageRecord r("pkg");
        r.pendingAction = kActionDisable;
        FsTransaction transaction;
        markDisabled(r, transaction);
        EXPECT_TRUE(r.disabled);
        EXPECT_EQ(r.pendingAction, kActionNone);
        transaction.commit(nullptr);
    }));
    EXPECT_EQ(tree.read(dir + "disabled"), "auto\n");
    EXPECT_FALSE(tree.exists(dir + "enabled"));

    ASSERT_TRUE(tree.run([] {
        PackageRecord r("pkg");
        r.disabled = true;
        r.userForced = true;
        r.pendingAction = kActionEnable;
        FsTransaction transaction;
        markEnabled(r, transaction);
        EXPECT_FALSE(r.disabled);
        EXPECT_EQ(r.pendingAction, kActionNone);
        transaction.commit(nullptr);
    }));
    EXPECT_FALSE(tree.exists(dir + "disabled"));
    EXPECT_EQ(tree.read(dir + "enabled"), "user\n");

    ASSERT_TRUE(tree.run([] {
        PackageRecord r("pkg");
        FsTransaction transaction;
        markEnabled(r, transaction);
        r.userForced = true;
        transaction.commit(nullptr);
    }));
    EXPECT_FALSE(tree.exists(dir + "enabled"));

    ASSERT_TRUE(tree.run([] {
        PackageRecord r("pkg");
        r.userForced = true;
        FsTransaction transaction;
        markDisabled(r, transaction);
        transaction.commit(nullptr);
    }));
    EXPECT_EQ(tree.read(dir + "disabled"), "user\n");
}

TEST(DatabaseWriter, CreateDatabaseEntryReclaimsTheDirectory) {
    DatabaseTree tree;
    tree.entry("gone", "version", "1 1\n");
    tree.file("/flash/var/pdb/plainfile", "");
    ASSERT_TRUE(tree.run([] {
        Console console;
        FsTransaction transaction;
        transaction.remove("/flash/var/pdb/gone/");
        PackageRecord gone("gone");
        gone.version = 2;
        gone.isBundle = true;
        EXPECT_TRUE(createDatabaseEntry(console, gone, transaction));
        EXPECT_EQ(transaction.entries.count("/flash/var/pdb/gone/"), 0u)
            << "the staged removal is withdrawn";
        EXPECT_EQ(transaction.entries.count("/flash/var/pdb/gone/version"), 1u);

        PackageRecord file("plainfile");
        EXPECT_FALSE(createDatabaseEntry(console, file, transaction));
        PackageRecord linked("linked");
        transaction.link("/somewhere", "/flash/var/pdb/linked/");
        EXPECT_FALSE(createDatabaseEntry(console, linked, transaction));
        EXPECT_EQ(transaction.entries.size(), 3u) << "refused entries stage nothing";
        transaction.cancel();
    }));
}

// Whatever makes a metadata file fail is named in one error line, and nothing
// is staged, neither the failing file nor any after it.
TEST(DatabaseWriter, FailureNamesTheMetadataFile) {
    DatabaseTree tree;
    // A plain file where the package directory should be: the temporary file
    // cannot be created next to it.
    tree.file("/flash/var/pdb/pkg", "");
    ASSERT_TRUE(tree.run([] {
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        PackageRecord r("pkg");
        r.version = kV62;
        FsTransaction transaction;
        EXPECT_FALSE(writeDatabaseEntry(context.console, r, transaction));
        EXPECT_EQ(console.str(),
                  "ERROR: installation of pkg-6.2 failed: could not create "
                  "meta/version: " +
                      std::string(std::strerror(ENOTDIR)) + "\n");
        EXPECT_TRUE(transaction.entries.empty());
    }));
}

TEST(DatabaseWriter, FullDiskIsTooSmall) {
    std::string why;
    if (!testsupport::tmpfsMountsAvailable(&why)) GTEST_SKIP() << why;
    DatabaseTree tree;
    int status = testsupport::runInChild([&] {
        std::string reason;
        if (!testsupport::enterPrivateMountNamespace(&reason) ||
            !testsupport::mountTmpfs(tree.root / "flash", 16384, &reason) ||
            !testsupport::mountTmpfs(tree.root / "ram", 16384, &reason)) {
            ADD_FAILURE() << reason;
            return;
        }
        testsupport::makeDirs(tree.root / "flash/var/pdb");
        // fill both file systems
        for (const char* fill : {"flash/fill", "ram/fill"}) {
            std::ofstream out(tree.root / fill, std::ios::binary);
            std::string block(4096, 'f');
            for (int i = 0; i < 16 && out; ++i) out.write(block.data(), 4096);
        }
        ASSERT_EQ(chroot(tree.root.path().c_str()), 0);
        ASSERT_EQ(chdir("/"), 0);
        InstallContext context;
        std::ostringstream console;
        context.console.setOutput(console);
        PackageRecord member("a");
        member.version = 1;
        member.bundle = {"b", kV62, kV62, 0};
        FsTransaction transaction;
        EXPECT_FALSE(writeDatabaseEntry(context.console, member, transaction));
        EXPECT_EQ(console.str(), "ERROR: installation of b-6.2 failed: disk is too small\n");
        transaction.cancel();
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
