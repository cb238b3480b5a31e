// Plain descriptors under the streams, and the run lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/FileInput.h"
#include "platform/FileOutput.h"
#include "platform/RunLock.h"
#include "support/Sandbox.h"

// Four-byte blocks: the byte before a refill or a large read can be put back,
// a seek within the block keeps it, a refill of one byte is data; a read that
// fails is the end of the data, and stays so. Descriptor 0, which a run started
// without standard input gets for its first file, is written and closed like
// any other; a run lock leaves neither its file nor its descriptor behind.
TEST(Descriptors, BlockEdgesAndDescriptorZero) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "f", "abcdefghi");
    InputFile in(4);
    char six[6];
    ASSERT_EQ(in.open(dir / "f"), OpenResult::Opened);
    EXPECT_TRUE(in.tellg() == 0 && in.ignore(3).get() == 'd');
    EXPECT_TRUE(in.peek() == 'e' && in.unget().get() == 'd');
    EXPECT_EQ(in.seekg(4, std::ios::cur).tellg(), 8);
    EXPECT_TRUE(in.unget().get() == 'h' && in.get() == 'i');
    EXPECT_EQ(in.seekg(0).read(six, 6).unget().get(), 'f');
    int fd = 0;
    FdInputBuffer failing(4);
    EXPECT_TRUE(openRegularFile(dir.path(), fd) == OpenResult::Unreadable && fd == -1);
    failing.attach(open(dir.path().c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(failing.sgetc() == EOF && failing.sgetc() == EOF && failing.readError() == EISDIR);
    auto body = [&] {
        close(0);
        OutputFile out;
        out.attach(open((dir / "one").c_str(), O_WRONLY | O_CREAT, 0644));
        out << 'x';
        EXPECT_TRUE(out.close() && testsupport::readFile(dir / "one") == "x");
        auto lock = std::make_unique<RunLock>();
        ASSERT_EQ(lock->acquire((dir / "lock").c_str()), LockResult::Acquired);
        lock.reset();
        EXPECT_TRUE(!testsupport::exists(dir / "lock") && open("/dev/null", O_RDONLY) == 0);
    };
    EXPECT_EQ(testsupport::runInChild(body), 0);
}

// Pieces shorter than, as long as and longer than the block, in any order and
// after any fill of the block, reach the file whole and in their order.
TEST(Descriptors, PiecesAroundTheBlockSizeArriveWholeAndInOrder) {
    testsupport::TempDir dir;
    const std::vector<std::vector<size_t>> sequences = {
        {3, 5, 8, 1, 20, 0, 7},         {8, 8, 8},    {9}, {7, 2, 15, 16, 1},
        {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {6, 3, 6, 3}, {0}, {17, 17}};
    for (size_t i = 0; i < sequences.size(); ++i) {
        OutputFile out(8);
        out.attach(open((dir / "pieces").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        std::string expected;
        char fill = 'a';
        for (size_t n : sequences[i]) {
            std::string piece;
            for (size_t k = 0; k < n; ++k) piece += static_cast<char>(fill + k % 26);
            ++fill;
            out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
            expected += piece;
        }
        EXPECT_TRUE(out.close()) << i;
        EXPECT_EQ(testsupport::readFile(dir / "pieces"), expected) << i;
    }
}
