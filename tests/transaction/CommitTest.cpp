#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "TransactionTestSupport.h"
#include "transaction/FsTransaction.h"
#include "transaction/Manifest.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::string linkText(const std::string& path) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string("<not a link>") : std::string(buffer, static_cast<size_t>(n));
}

TEST(Commit, RemovalsComeBeforeAnyMove) {
    // In path order the move from /z would come first; removals go first, so
    // the move finds its source already deleted.
    TempDir dir;
    writeFile(dir / "z", "doomed");
    int status = testsupport::runInChild([&] {
        FsTransaction t;
        t.move(dir / "z", dir / "a");
        t.remove(dir / "z");
        std::string err = txntest::captureStderr([&] { t.commit(nullptr); });
        EXPECT_EQ(err, "rename: No such file or directory\n");
        EXPECT_FALSE(exists(dir / "a"));
        EXPECT_FALSE(exists(dir / "z"));
        EXPECT_EQ(t.entries.size(), 2u);  // commit leaves the map as it was
    });
    EXPECT_EQ(status, 0);
}

TEST(Commit, EachPassRunsInPathOrder) {
    TempDir dir;
    writeFile(dir / "src", "payload");
    writeFile(dir / "d/x", "old x");
    writeFile(dir / "gone/plain", "p");
    FsTransaction t;
    // Moves: d/x takes src first, then d/y takes d/x.
    t.move(dir / "src", dir / "d/x");
    t.move(dir / "d/x", dir / "d/y");
    // Removal of gone precedes the link inside it, which recreates the directory.
    t.remove(dir / "gone");
    t.link("target-text", dir / "gone/link");
    t.commit(nullptr);
    EXPECT_FALSE(exists(dir / "src"));
    EXPECT_FALSE(exists(dir / "d/x"));
    EXPECT_EQ(readFile(dir / "d/y"), "payload");
    EXPECT_FALSE(exists(dir / "gone/plain"));
    EXPECT_EQ(linkText(dir / "gone/link"), "target-text");
}

TEST(Commit, MovesLandInDirectoriesAfterTheirRemoval) {
    TempDir dir;
    writeFile(dir / "pkg/old", "old");
    writeFile(dir / "new", "new");
    FsTransaction t;
    t.remove(dir / "pkg");
    t.move(dir / "new", dir / "pkg/new");
    t.commit(nullptr);
    EXPECT_FALSE(exists(dir / "pkg/old"));
    EXPECT_EQ(readFile(dir / "pkg/new"), "new");
}

TEST(Commit, DirectoryRemovalKeepsHiddenFilesAndSubdirectories) {
    TempDir dir;
    writeFile(dir / "plain/a", "a");
    writeFile(dir / "plain/b", "b");
    writeFile(dir / "mixed/a", "a");
    writeFile(dir / "mixed/.hidden", "h");
    writeFile(dir / "mixed/sub/inner", "i");
    writeFile(dir / "file", "f");
    FsTransaction t;
    t.remove(dir / "plain");
    t.remove(dir / "mixed");
    t.remove(dir / "file");
    int status = testsupport::runInChild(
        [&] { EXPECT_EQ(txntest::captureStderr([&] { t.commit(nullptr); }), ""); });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(dir / "plain"));
    EXPECT_FALSE(exists(dir / "file"));
    EXPECT_FALSE(exists(dir / "mixed/a"));
    EXPECT_TRUE(exists(dir / "mixed/.hidden"));
    EXPECT_EQ(readFile(dir / "mixed/sub/inner"), "i");
}

TEST(Commit, LinksReplaceFilesAndLinksButNotDirectories) {
    TempDir dir;
    writeFile(dir / "file", "f");
    ASSERT_EQ(symlink("old", (dir / "oldlink").c_str()), 0);
    writeFile(dir / "dir/keep", "k");
    int status = testsupport::runInChild([&] {
        FsTransaction t;
        t.link("one", dir / "file");
        t.link("two", dir / "oldlink");
        t.link("three", dir / "dir");
        t.link("four", dir / "new/deeper/link");
        std::string err = txntest::captureStderr([&] { t.commit(nullptr); });
        EXPECT_EQ(err, "symlink: File exists\n");
        EXPECT_EQ(linkText(dir / "file"), "one");
        EXPECT_EQ(linkText(dir / "oldlink"), "two");
        EXPECT_EQ(readFile(dir / "dir/keep"), "k");
        EXPECT_EQ(linkText(dir / "new/deeper/link"), "four");
    });
    EXPECT_EQ(status, 0);
}

TEST(Commit, MissingParentDirectoriesAreCreated) {
    TempDir dir;
    writeFile(dir / "src", "content", 0640);
    int status = testsupport::runInChild([&] {
        umask(0);
        FsTransaction t;
        t.move(dir / "src", dir / "var/pdb/pkg/files");
        t.commit(nullptr);
        EXPECT_EQ(readFile(dir / "var/pdb/pkg/files"), "content");
        EXPECT_EQ(txntest::modeOf(dir / "var/pdb/pkg/files"), 0640u);
        EXPECT_EQ(txntest::modeOf(dir / "var"), 0777u);
        EXPECT_EQ(txntest::modeOf(dir / "var/pdb/pkg"), 0777u);
    });
    EXPECT_EQ(status, 0);
}

// An upgrade-like set of changes under root, as a manifest.
void buildTree(const std::string& root) {
    testsupport::removeTree(root);
    writeFile(root + "/ram/tmpA", "new files list");
    writeFile(root + "/ram/tmpB", "library v2", 0755);
    writeFile(root + "/flash/var/pdb/pkg/files", "old files list");
    writeFile(root + "/flash/var/pdb/pkg/image", "boot image");
    writeFile(root + "/flash/old/lib.so", "library v1");
    writeFile(root + "/flash/olddir/a", "a");
    writeFile(root + "/flash/olddir/b", "b");
    testsupport::makeDirs(root + "/flash/bin");
    symlink("../lib/tool.v1", (root + "/flash/bin/tool").c_str());
}

std::string manifestFor(const std::string& r) {
    return "M " + r + "/flash/var/pdb/pkg/files " + r + "/ram/tmpA\n" + "U " + r +
           "/flash/old/lib.so\n" + "U " + r + "/flash/olddir\n" + "L " + r +
           "/flash/bin/tool ../lib/tool.v2\n" + "M " + r + "/flash/lib/new.so " + r +
           "/ram/tmpB\n" + "M " + r + "/flash/bootimage " + r + "/flash/var/pdb/pkg/image\n" +
           "U " + r + "/flash/already-gone\n" + "L " + r + "/flash/lib/tool.v2 new.so\n";
}

TEST(Commit, RerunFromManifestAfterInterruptionCompletesTheCommit) {
    TempDir dir;
    const std::string root = dir / "root";
    const std::string manifest = dir / "MANIFEST";
    {
        std::ofstream out(manifest);
        out << manifestFor(root);
    }
    int status = testsupport::runInChild([&] {
        // Rename failures of the re-run (sources already moved) go to stderr.
        txntest::captureStderr([&] {
            buildTree(root);
            FsTransaction full;
            ASSERT_TRUE(readManifest(full, manifest));
            full.commit(nullptr);
            const std::string expected = testsupport::treeListing(root);
            ASSERT_NE(expected.find("/flash/lib/new.so"), std::string::npos);

            // The commit sequence: first pass entries, then second pass ones,
            // each in path order.
            std::vector<std::pair<std::string, FsEntry>> order;
            for (bool firstPass : {true, false})
                for (const auto& [path, entry] : full.entries) {
                    bool removeOrLink =
                        entry.kind == FsEntryKind::Remove || entry.kind == FsEntryKind::Link;
                    if (removeOrLink == firstPass) order.emplace_back(path, entry);
                }
            ASSERT_EQ(order.size(), 8u);

            for (size_t done = 0; done <= order.size(); ++done) {
                buildTree(root);
                // Interrupted after `done` operations of a real commit.
                FsTransaction partial;
                for (size_t i = 0; i < done; ++i)
                    partial.stage(order[i].first, order[i].second.kind, order[i].second.source);
                partial.commit(nullptr);
                FsTransaction rerun;
                ASSERT_TRUE(readManifest(rerun, manifest));
                rerun.commit(nullptr);
                EXPECT_EQ(testsupport::treeListing(root), expected)
                    << "interrupted after " << done << " operations";
            }
        });
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
