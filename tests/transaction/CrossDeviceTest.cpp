#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>

#include "TransactionTestSupport.h"
#include "transaction/FsTransaction.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr unsigned long kPage = 4096;

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        closedir(d);
    }
    return names;
}

std::string patterned(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    return s;
}

// Copies in these tests record their temporary files nowhere.
TempRegistry unrecorded;

TEST(CrossDevice, MoveFallsBackToACopyKeepingModeAndSource) {
    SKIP_WITHOUT_TMPFS();
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    int status = txntest::runWithMounts({{a, 1 << 20}, {b, 1 << 20}}, "", [&] {
        const std::string content = patterned(100000);
        writeFile(a + "/src", content, 04751);
        writeFile(b + "/sub/dst", "previous");
        writeFile(a + "/fresh", "fresh", 0600);
        FsTransaction t;
        t.move(a + "/src", b + "/sub/dst");
        t.move(a + "/fresh", b + "/new/deep/fresh");
        std::string err = txntest::captureStderr([&] { t.commit(nullptr); });
        EXPECT_EQ(err, "");
        EXPECT_EQ(readFile(b + "/sub/dst"), content);
        EXPECT_EQ(txntest::modeOf(b + "/sub/dst"), 04751u);
        EXPECT_EQ(readFile(b + "/new/deep/fresh"), "fresh");
        EXPECT_EQ(txntest::modeOf(b + "/new/deep/fresh"), 0600u);
        EXPECT_EQ(readFile(a + "/src"), content);
        EXPECT_TRUE(exists(a + "/fresh"));
        EXPECT_EQ(namesIn(b + "/sub"), std::set<std::string>{"dst"});
    });
    EXPECT_EQ(status, 0);
}

TEST(CrossDevice, FailedCopyLeavesTheOldTargetAndReports) {
    SKIP_WITHOUT_TMPFS();
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    // b holds two pages, one of them taken by the old target.
    int status = txntest::runWithMounts({{a, 1 << 20}, {b, 2 * kPage}}, "", [&] {
        const std::string old = patterned(kPage).replace(0, 3, "OLD");
        writeFile(b + "/old", old, 0644);
        writeFile(a + "/src", patterned(5 * kPage), 0755);
        FsTransaction t;
        t.move(a + "/src", b + "/old");
        std::string err = txntest::captureStderr([&] { t.commit(nullptr); });
        EXPECT_EQ(err, "copy: No space left on device\n");
        EXPECT_EQ(readFile(b + "/old"), old);
        EXPECT_EQ(txntest::modeOf(b + "/old"), 0644u);
        EXPECT_EQ(namesIn(b), std::set<std::string>{"old"});
        EXPECT_EQ(readFile(a + "/src").size(), 5 * kPage);

        bool copied = true;
        err = txntest::captureStderr(
            [&] { copied = copyFile(a + "/src", b + "/other", nullptr, unrecorded); });
        EXPECT_FALSE(copied);
        EXPECT_EQ(err, "copy: No space left on device\n");
        EXPECT_EQ(namesIn(b), std::set<std::string>{"old"});
    });
    EXPECT_EQ(status, 0);
}

TEST(CrossDevice, CopyTurnsTheSpinnerFromItsFirstCharacter) {
    TempDir dir;
    writeFile(dir / "src", patterned(20 * kCopyChunkSize));
    std::ostringstream console;
    Spinner spinner(console);
    EXPECT_TRUE(copyFile(dir / "src", dir / "dst", &spinner, unrecorded));
    EXPECT_EQ(readFile(dir / "dst"), readFile(dir / "src"));
    const std::string shown = console.str();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0], '|');
    // Later steps come in backspace/character pairs.
    for (size_t i = 1; i + 1 < shown.size(); i += 2) EXPECT_EQ(shown[i], '\b');
    EXPECT_EQ(shown.size() % 2, 1u);
}

TEST(CopyFile, DirectoriesAndDevicesAreRefusedWithoutCreatingTheTarget) {
    TempDir dir;
    testsupport::makeDirs(dir / "adir");
    int status = testsupport::runInChild([&] {
        std::string err = txntest::captureStderr([&] {
            EXPECT_FALSE(copyFile(dir / "adir", dir / "t1", nullptr, unrecorded));
            EXPECT_FALSE(copyFile("/dev/null", dir / "t2", nullptr, unrecorded));
        });
        EXPECT_EQ(err, "");
        EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"adir"});
    });
    EXPECT_EQ(status, 0);
}

TEST(CopyFile, CopiesEmptyAndChunkSizedFilesExactly) {
    TempDir dir;
    for (size_t size : {size_t(0), kCopyChunkSize, kCopyChunkSize + 1, 3 * kCopyChunkSize - 1}) {
        const std::string content = patterned(size);
        writeFile(dir / "src", content, 0600);
        writeFile(dir / "dst", "to be replaced");
        EXPECT_TRUE(copyFile(dir / "src", dir / "dst", nullptr, unrecorded)) << size;
        EXPECT_EQ(readFile(dir / "dst"), content) << size;
        EXPECT_EQ(txntest::modeOf(dir / "dst"), 0600u);
    }
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"src", "dst"}));
}

}  // namespace
