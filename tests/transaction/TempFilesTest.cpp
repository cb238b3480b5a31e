#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "TransactionTestSupport.h"
#include "transaction/TempFiles.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

constexpr unsigned long kPage = 4096;

bool inDirectory(const std::string& path, const std::string& dir) {
    const std::string prefix = dir + "/tmp";
    return path.size() == prefix.size() + 6 && path.compare(0, prefix.size(), prefix) == 0;
}

TEST(RoomRule, SizePlusATenthMustBeStrictlyBelowTheFreeBytes) {
    EXPECT_FALSE(hasRoomFor(1000, 1, 1100));
    EXPECT_TRUE(hasRoomFor(1000, 1, 1101));
    EXPECT_FALSE(hasRoomFor(1000, 100, 11));
    EXPECT_TRUE(hasRoomFor(1000, 4096, 1));
    EXPECT_FALSE(hasRoomFor(1, 4096, 0));
    EXPECT_TRUE(hasRoomFor(9, 1, 10));  // a tenth of 9 rounds down to nothing
    // Products beyond 32 bits: 4 GiB free, and 4 GiB + 512 bytes free.
    EXPECT_TRUE(hasRoomFor(1000, 4096, uint64_t(1) << 20));
    EXPECT_TRUE(hasRoomFor(1000, 512, (uint64_t(1) << 23) + 1));
    EXPECT_TRUE(hasRoomFor(0xFFFFFFFFu, 4096, uint64_t(1) << 21));
}

// A root with "/ram" on the test machine's disk and "/flash" a tmpfs of the
// given size.
class CreateFile : public ::testing::Test {
protected:
    void SetUp() override { testsupport::makeDirs(root.path() + "/ram"); }
    int run(uint64_t flashSize, const std::function<void()>& body) {
        return txntest::runWithMounts({{root / "flash", flashSize}}, root.path(), body);
    }
    TempDir root;
};

TEST_F(CreateFile, ZeroHintAlwaysUsesRam) {
    SKIP_WITHOUT_TMPFS();
    EXPECT_EQ(run(1 << 20,
                  [] {
                      FsTransaction t;
                      OutputFile out;
                      ASSERT_TRUE(createFile(t, "/flash/var/file", 0, 0, out));
                      ASSERT_EQ(t.entries.count("/flash/var/file"), 1u);
                      const FsEntry& e = t.entries.at("/flash/var/file");
                      EXPECT_EQ(e.kind, FsEntryKind::NewFile);
                      EXPECT_TRUE(inDirectory(e.source, "/ram")) << e.source;
                      EXPECT_TRUE(out.isOpen());
                  }),
              0);
}

TEST_F(CreateFile, ExactlyATenthMoreThanTheHintIsNotEnough) {
    SKIP_WITHOUT_TMPFS();
    // One free page: 3724 + 372 = 4096 bytes does not fit, 3723 + 372 does.
    EXPECT_EQ(
        run(kPage,
            [] {
                struct statfs fs;
                ASSERT_EQ(statfs("/flash", &fs), 0);
                ASSERT_EQ(uint64_t(fs.f_bsize) * fs.f_bfree, kPage);
                FsTransaction t;
                ASSERT_TRUE(writeStagedFile(t, "/flash/missing/parents/big", 3724, 0, ""));
                ASSERT_TRUE(writeStagedFile(t, "/flash/missing/parents/small", 3723, 0, ""));
                EXPECT_TRUE(inDirectory(t.entries.at("/flash/missing/parents/big").source, "/ram"));
                // The nearest existing ancestor decides.
                EXPECT_TRUE(
                    inDirectory(t.entries.at("/flash/missing/parents/small").source, "/flash"));
            }),
        0);
}

TEST_F(CreateFile, FullFileSystemSendsFilesToRam) {
    SKIP_WITHOUT_TMPFS();
    EXPECT_EQ(run(2 * kPage,
                  [] {
                      FsTransaction t;
                      ASSERT_TRUE(writeStagedFile(t, "/flash/roomy", 1000, 0, ""));
                      EXPECT_TRUE(inDirectory(t.entries.at("/flash/roomy").source, "/flash"));
                      // Fill the file system; nothing is left for the next file.
                      testsupport::writeFile("/flash/fill", std::string(2 * kPage, 'x'));
                      ASSERT_TRUE(writeStagedFile(t, "/flash/cramped", 1000, 0, ""));
                      EXPECT_TRUE(inDirectory(t.entries.at("/flash/cramped").source, "/ram"));
                  }),
              0);
}

TEST_F(CreateFile, HugeFileSystemsHaveRoom) {
    SKIP_WITHOUT_TMPFS();
    // 16 TiB free: the byte count is a multiple of 2^32.
    EXPECT_EQ(run(uint64_t(1) << 44,
                  [] {
                      FsTransaction t;
                      ASSERT_TRUE(writeStagedFile(t, "/flash/file", 1000, 0, ""));
                      EXPECT_TRUE(inDirectory(t.entries.at("/flash/file").source, "/flash"));
                  }),
              0);
}

TEST_F(CreateFile, WrittenFileReachesItsTargetWithTheGivenMode) {
    SKIP_WITHOUT_TMPFS();
    EXPECT_EQ(run(1 << 20,
                  [] {
                      FsTransaction t;
                      {
                          ASSERT_TRUE(writeStagedFile(t, "/flash/var/pdb/pkg/version", 8, 0640,
                                                      std::string("1.2\0x\n", 6)));
                      }
                      const std::string temp = t.entries.at("/flash/var/pdb/pkg/version").source;
                      EXPECT_EQ(txntest::modeOf(temp), 0640u);
                      t.commit(nullptr);
                      EXPECT_EQ(readFile("/flash/var/pdb/pkg/version"), std::string("1.2\0x\n", 6));
                      EXPECT_EQ(txntest::modeOf("/flash/var/pdb/pkg/version"), 0640u);
                      EXPECT_FALSE(exists(temp));
                  }),
              0);
}

TEST_F(CreateFile, CreatingAgainForTheSameTargetDropsTheEarlierFile) {
    SKIP_WITHOUT_TMPFS();
    EXPECT_EQ(run(1 << 20,
                  [] {
                      FsTransaction t;
                      ASSERT_TRUE(writeStagedFile(t, "/flash/x", 0, 0, "first"));
                      const std::string first = t.entries.at("/flash/x").source;
                      ASSERT_TRUE(exists(first));
                      ASSERT_TRUE(writeStagedFile(t, "/flash/x", 100, 0, "second"));
                      const std::string second = t.entries.at("/flash/x").source;
                      EXPECT_FALSE(exists(first));
                      EXPECT_TRUE(inDirectory(second, "/flash"));
                      t.cancel();
                      EXPECT_FALSE(exists(second));
                  }),
              0);
}

}  // namespace
