#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TransactionTestSupport.h"
#include "transaction/FsTransaction.h"

using testsupport::exists;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

TEST(Staging, LaterStagingForAPathWins) {
    TempDir dir;
    writeFile(dir / "existing", "x");
    FsTransaction t;
    t.move(dir / "src", dir / "existing");
    t.link("text", dir / "existing");
    ASSERT_EQ(t.entries.size(), 1u);
    EXPECT_EQ(t.entries.at(dir / "existing").kind, FsEntryKind::Link);
    EXPECT_EQ(t.entries.at(dir / "existing").source, "text");

    t.remove(dir / "existing");
    ASSERT_EQ(t.entries.size(), 1u);
    EXPECT_EQ(t.entries.at(dir / "existing").kind, FsEntryKind::Remove);
    EXPECT_EQ(t.entries.at(dir / "existing").source, "");
    EXPECT_TRUE(exists(dir / "existing"));  // staging alone changes nothing
}

TEST(Staging, RestagingOverNewFileDeletesItsTemporaryFile) {
    TempDir dir;
    writeFile(dir / "tmp1", "first");
    writeFile(dir / "src", "moved");
    FsTransaction t;
    t.stage(dir / "target", FsEntryKind::NewFile, dir / "tmp1");
    t.move(dir / "src", dir / "target");
    EXPECT_FALSE(exists(dir / "tmp1"));
    EXPECT_TRUE(exists(dir / "src"));
    EXPECT_EQ(t.entries.at(dir / "target").kind, FsEntryKind::Move);

    // A replaced Move owns nothing, so its source survives.
    t.link("elsewhere", dir / "target");
    EXPECT_TRUE(exists(dir / "src"));
}

TEST(Staging, RemovalOfMissingPathWithdrawsEntryWithoutDeleting) {
    TempDir dir;
    writeFile(dir / "src", "keep me");
    writeFile(dir / "tmp", "temporary");
    FsTransaction t;
    t.move(dir / "src", dir / "missing");
    t.stage(dir / "missing2", FsEntryKind::NewFile, dir / "tmp");
    t.remove(dir / "missing");
    t.remove(dir / "missing2");
    t.remove(dir / "never-staged");
    EXPECT_TRUE(t.empty());
    EXPECT_EQ(testsupport::readFile(dir / "src"), "keep me");
    // The withdrawn NewFile's temporary file belonged to the transaction: left
    // in place it would be an orphan (in the database directory, a bogus entry).
    EXPECT_FALSE(exists(dir / "tmp"));
}

TEST(Staging, ClaimDirectory) {
    TempDir dir;
    testsupport::makeDirs(dir / "db");
    writeFile(dir / "file", "x");
    FsTransaction t;
    t.link("x", dir / "linked");
    t.move(dir / "src", dir / "moved");
    t.remove(dir / "db");

    EXPECT_FALSE(t.claimDirectory(dir / "linked"));
    EXPECT_FALSE(t.claimDirectory(dir / "moved"));
    EXPECT_EQ(t.entries.count(dir / "linked"), 1u);
    EXPECT_FALSE(t.claimDirectory(dir / "file"));
    EXPECT_TRUE(t.claimDirectory(dir / "absent"));

    EXPECT_TRUE(t.claimDirectory(dir / "db"));
    EXPECT_EQ(t.entries.count(dir / "db"), 0u);

    // A staged removal of a plain file is withdrawn, but the file still exists.
    t.remove(dir / "file");
    EXPECT_FALSE(t.claimDirectory(dir / "file"));
    EXPECT_EQ(t.entries.count(dir / "file"), 0u);
}

TEST(Staging, CancelDeletesOnlyTemporaryFiles) {
    TempDir dir;
    writeFile(dir / "tmp", "new");
    writeFile(dir / "src", "old");
    writeFile(dir / "victim", "stays");
    FsTransaction t;
    t.stage(dir / "a", FsEntryKind::NewFile, dir / "tmp");
    t.move(dir / "src", dir / "b");
    t.remove(dir / "victim");
    t.link(dir / "victim", dir / "c");
    t.cancel();
    EXPECT_TRUE(t.empty());
    EXPECT_FALSE(exists(dir / "tmp"));
    EXPECT_TRUE(exists(dir / "src"));
    EXPECT_TRUE(exists(dir / "victim"));
    EXPECT_FALSE(exists(dir / "a"));
    EXPECT_FALSE(exists(dir / "c"));
}

TEST(Paths, ParentDirectoryFollowsDirname) {
    EXPECT_EQ(parentDirectory("/flash/var/pdb/pkg"), "/flash/var/pdb");
    EXPECT_EQ(parentDirectory("/flash/var/pdb/pkg/"), "/flash/var/pdb");
    EXPECT_EQ(parentDirectory("/flash//pkg//"), "/flash");
    EXPECT_EQ(parentDirectory("/flash"), "/");
    EXPECT_EQ(parentDirectory("/"), "/");
    EXPECT_EQ(parentDirectory("name"), ".");
    EXPECT_EQ(parentDirectory("a/b"), "a");
    EXPECT_EQ(parentDirectory(""), ".");
}

TEST(Paths, MakeDirectoriesCreatesEveryMissingLevelWithFullMode) {
    TempDir dir;
    int status = testsupport::runInChild([&] {
        umask(0);
        makeDirectories(dir / "a/b/c");
        EXPECT_EQ(txntest::modeOf(dir / "a"), 0777u);
        EXPECT_EQ(txntest::modeOf(dir / "a/b/c"), 0777u);
        umask(022);
        makeDirectories(dir / "x/y");
        EXPECT_EQ(txntest::modeOf(dir / "x/y"), 0755u);
        // Existing directories are left as they are.
        chmod((dir / "a").c_str(), 0700);
        makeDirectories(dir / "a/b");
        EXPECT_EQ(txntest::modeOf(dir / "a"), 0700u);
        // Beneath a plain file nothing can be made, and nothing breaks.
        testsupport::writeFile(dir / "f", "x");
        makeDirectories(dir / "f/g/h");
        EXPECT_FALSE(exists(dir / "f/g"));
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
