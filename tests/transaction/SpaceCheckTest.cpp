#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "TransactionTestSupport.h"
#include "transaction/TempFiles.h"

using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr unsigned long kPage = 4096;

int64_t freeBlocksNow(const char* path) {
    struct statfs fs;
    if (statfs(path, &fs) != 0) return -1;
    return static_cast<int64_t>(fs.f_bfree);
}

// "/flash" and "/flash/boot" as separate tmpfs mounts, "/ram" on the disk.
int runOnFlash(const TempDir& root, uint64_t flashSize, uint64_t bootSize,
               const std::function<void()>& body) {
    testsupport::makeDirs(root / "ram");
    txntest::MountList mounts{{root / "flash", flashSize}};
    if (bootSize) mounts.emplace_back(root / "flash/boot", bootSize);
    return txntest::runWithMounts(mounts, root.path(), body);
}

TEST(StartsWith, IsAPlainBytePrefix) {
    EXPECT_TRUE(startsWith("/flash/boot/kernel", "/flash/boot"));
    EXPECT_TRUE(startsWith("/flash/boot", "/flash/boot"));
    EXPECT_TRUE(startsWith("/flashy/file", "/flash"));
    EXPECT_FALSE(startsWith("/flas", "/flash"));
    EXPECT_FALSE(startsWith("/ram/flash", "/flash"));
}

TEST(SpaceCheck, DebitsAndCreditsPerEntry) {
    SKIP_WITHOUT_TMPFS();
    TempDir root;
    EXPECT_EQ(
        runOnFlash(
            root, 64 * kPage, 32 * kPage,
            [] {
                writeFile("/ram/new", std::string(3 * kPage + 1, 'n'));      // 4 blocks
                writeFile("/ram/replacement", std::string(2 * kPage, 'r'));  // 2 blocks
                writeFile("/flash/old", std::string(kPage - 100, 'o'));      // 1 block
                writeFile("/flash/a", std::string(5 * kPage, 'a'));
                writeFile("/flash/b", std::string(7 * kPage, 'b'));
                writeFile("/flash/c", std::string(6 * kPage, 'c'));
                writeFile("/flash/boot/kernel", std::string(3 * kPage, 'k'));  // 3 blocks
                writeFile("/ram/elsewhere", "x");
                const int64_t flash = freeBlocksNow("/flash");
                const int64_t boot = freeBlocksNow("/flash/boot");

                FsTransaction empty;
                FsUsage u = usageAfter(empty, "/flash");
                EXPECT_EQ(u.path, "/flash");
                EXPECT_EQ(u.blockSize, kPage);
                EXPECT_EQ(u.freeBlocks, flash);

                auto delta = [&](const std::function<void(FsTransaction&)>& stage) {
                    FsTransaction t;
                    stage(t);
                    return std::make_pair(usageAfter(t, "/flash").freeBlocks - flash,
                                          usageAfter(t, "/flash/boot").freeBlocks - boot);
                };
                using Delta = std::pair<int64_t, int64_t>;
                // A new file from /ram onto flash.
                EXPECT_EQ(delta([](FsTransaction& t) {
                              t.stage("/flash/dir/new", FsEntryKind::NewFile, "/ram/new");
                          }),
                          Delta(-4, 0));
                // Across devices over an existing file: its blocks come back.
                EXPECT_EQ(delta([](FsTransaction& t) { t.move("/ram/replacement", "/flash/old"); }),
                          Delta(-2 + 1, 0));
                // Within flash over an existing file: nothing changes.
                EXPECT_EQ(delta([](FsTransaction& t) { t.move("/flash/a", "/flash/b"); }),
                          Delta(0, 0));
                // Within flash to a new name: counted although already in use.
                EXPECT_EQ(delta([](FsTransaction& t) { t.move("/flash/c", "/flash/d"); }),
                          Delta(-6, 0));
                // A file under /flash/boot counts in both records.
                EXPECT_EQ(delta([](FsTransaction& t) { t.remove("/flash/boot/kernel"); }),
                          Delta(3, 3));
                EXPECT_EQ(delta([](FsTransaction& t) { t.move("/ram/new", "/flash/boot/kernel"); }),
                          Delta(-4 + 3, -4 + 3));
                // Links, paths elsewhere and missing files change nothing.
                EXPECT_EQ(delta([](FsTransaction& t) {
                              t.link("/flash/a", "/flash/link");
                              t.remove("/ram/elsewhere");
                              t.stage("/flash/gone", FsEntryKind::Remove, "");
                              t.move("/ram/missing", "/flash/e");
                          }),
                          Delta(0, 0));
            }),
        0);
}

TEST(SpaceCheck, NeedsMoreThanSixteenFreeBlocksOnBoth) {
    SKIP_WITHOUT_TMPFS();
    TempDir root;
    EXPECT_EQ(runOnFlash(root, 20 * kPage, 17 * kPage,
                         [] {
                             writeFile("/flash/filler", std::string(3 * kPage, 'f'));
                             writeFile("/ram/page", std::string(kPage, 'p'));
                             ASSERT_EQ(freeBlocksNow("/flash"), 17);
                             ASSERT_EQ(freeBlocksNow("/flash/boot"), 17);
                             FsTransaction t;
                             EXPECT_TRUE(checkSpace(t));
                             t.stage("/flash/new", FsEntryKind::NewFile, "/ram/page");
                             EXPECT_FALSE(checkSpace(t));
                             t.remove("/flash/filler");
                             EXPECT_TRUE(checkSpace(t));
                             // The boot record alone can fail the check too.
                             t.move("/ram/page", "/flash/boot/new");
                             EXPECT_FALSE(checkSpace(t));
                         }),
              0);
    TempDir small;
    EXPECT_EQ(runOnFlash(small, 16 * kPage, 64 * kPage,
                         [] {
                             FsTransaction t;
                             EXPECT_FALSE(checkSpace(t));
                         }),
              0);
}

TEST(SpaceCheck, HugeFileSystemsDoNotWrapAround) {
    SKIP_WITHOUT_TMPFS();
    TempDir root;
    // 2^32 free blocks: exactly the count that a 32-bit field would read as 0.
    EXPECT_EQ(runOnFlash(root, uint64_t(1) << 44, uint64_t(1) << 44,
                         [] {
                             ASSERT_EQ(freeBlocksNow("/flash"), int64_t(1) << 32);
                             FsTransaction t;
                             EXPECT_TRUE(checkSpace(t));
                             EXPECT_EQ(usageAfter(t, "/flash/boot").freeBlocks, int64_t(1) << 32);
                         }),
              0);
}

TEST(SpaceCheck, UnreadableMountCountsBytesFromNothing) {
    SKIP_WITHOUT_TMPFS();
    TempDir root;
    // No /flash/boot at all: statfs fails, so the record has one-byte blocks
    // and none free; only removals under the prefix can help.
    EXPECT_EQ(runOnFlash(root, 64 * kPage, 0,
                         [] {
                             writeFile("/flash/bootx/seventeen", std::string(17, 's'));
                             writeFile("/flash/bootx/sixteen", std::string(16, 's'));
                             FsUsage boot = usageAfter(FsTransaction(), "/flash/boot");
                             EXPECT_EQ(boot.blockSize, 1u);
                             EXPECT_EQ(boot.freeBlocks, 0);
                             FsTransaction t;
                             EXPECT_FALSE(checkSpace(t));
                             t.remove("/flash/bootx/sixteen");
                             EXPECT_FALSE(checkSpace(t));
                             FsTransaction u;
                             u.remove("/flash/bootx/seventeen");
                             EXPECT_TRUE(checkSpace(u));
                         }),
              0);
}

}  // namespace
