#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "package/PartReader.h"
#include "support/Sandbox.h"
#include "tests/package/PartBytes.h"

namespace {

using namespace partbytes;

enum class SourceKind { File, Pipe };

// The same package bytes offered as a file on disk or through a pipe.
class Source {
public:
    Source(SourceKind kind, const std::string& bytes) {
        if (kind == SourceKind::File) {
            testsupport::writeFile(dir_ / "package.npk", bytes);
            file_ = std::make_unique<std::ifstream>(dir_ / "package.npk", std::ios::binary);
        } else {
            pipe_ = std::make_unique<PipeFeed>(bytes, std::vector<size_t>{3, 20, 100, 5000});
        }
    }
    std::istream& stream() { return file_ ? static_cast<std::istream&>(*file_) : pipe_->stream(); }

private:
    testsupport::TempDir dir_;
    std::unique_ptr<std::ifstream> file_;
    std::unique_ptr<PipeFeed> pipe_;
};

std::string digestOf(PartReader& reader) {
    return bytesOf(reader.partBuffer().lastDigest(), 20);
}

std::string readAll(PartReader& reader, size_t n) {
    std::string s(n, '\0');
    reader.read(&s[0], static_cast<std::streamsize>(n));
    s.resize(static_cast<size_t>(reader.gcount()));
    return s;
}

class PartReaderOverSource : public ::testing::TestWithParam<SourceKind> {};

INSTANTIATE_TEST_SUITE_P(FileAndPipe, PartReaderOverSource,
                         ::testing::Values(SourceKind::File, SourceKind::Pipe),
                         [](const auto& info) {
                             return info.param == SourceKind::File ? "File" : "Pipe";
                         });

TEST_P(PartReaderOverSource, HashesFromPackageHeaderThroughSignatureHeader) {
    const std::string header = part(1, headerPayload("alpha", 0x06026600, 1000, le32(1)));
    const std::string arch = part(16, "mipsbe");
    const std::string unaccepted = part(77, filler(40000, 1));  // larger than a skip chunk
    const std::string container = filler(20000, 2);
    const std::string signatureHeader = partHeader(9, 68);
    const std::string signature = filler(68, 3);
    const std::string file =
        packageFile(header + arch + unaccepted + part(4, container) + signatureHeader + signature);

    Source source(GetParam(), file);
    std::stringbuf copy;
    PartReader reader(source.stream(), true, &copy);
    reader.acceptedTypes = {1, 16, 4, 9};
    EXPECT_EQ(reader.currentType, 0);
    EXPECT_EQ(reader.expectedSize, file.size());
    EXPECT_FALSE(reader.isUnrecorded());

    ASSERT_EQ(reader.nextPart(), 1);
    EXPECT_TRUE(reader.partBuffer().digestTaken());
    EXPECT_EQ(digestOf(reader), sha1Of("")) << "the file header is not hashed";
    EXPECT_EQ(readAll(reader, 10), header.substr(6, 10));

    ASSERT_EQ(reader.nextPart(), 16);
    EXPECT_EQ(reader.partOffset(), 8 + header.size() + 6);
    EXPECT_EQ(readAll(reader, reader.partLength()), "mipsbe");

    ASSERT_EQ(reader.nextPart(), 4) << "part 77 is passed over";
    EXPECT_EQ(readAll(reader, 5000), container.substr(0, 5000));
    EXPECT_EQ(reader.tellg(), 5000);

    ASSERT_EQ(reader.nextPart(), 9);
    EXPECT_EQ(reader.partLength(), 68u);
    uint8_t digest[20];
    reader.partBuffer().takeDigest(digest);
    EXPECT_EQ(bytesOf(digest, 20),
              sha1Of(header + arch + unaccepted + part(4, container) + signatureHeader));

    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_EQ(reader.currentType, -1);
    EXPECT_TRUE(reader.eof());
    EXPECT_TRUE(reader.fail());
    EXPECT_EQ(digestOf(reader), sha1Of(signature)) << "a digest is taken at the end of the data";
    EXPECT_EQ(copy.str().size(), file.size());
    EXPECT_TRUE(copy.str() == file) << "every consumed byte is copied, skipped ones included";
    EXPECT_EQ(reader.nextPart(), -1);
}

TEST_P(PartReaderOverSource, PutBackByteIsHashedAndCopiedOnce) {
    const std::string body =
        part(1, headerPayload("p", 1, 2)) + part(99, filler(3000, 4)) + part(2, "abcdef");
    const std::string file = packageFile(body);
    Source source(GetParam(), file);
    std::stringbuf copy;
    PartReader reader(source.stream(), true, &copy);
    reader.acceptedTypes = {1, 2};
    ASSERT_EQ(reader.nextPart(), 1);
    ASSERT_EQ(reader.nextPart(), 2);

    reader.unget();
    EXPECT_TRUE(reader.fail()) << "nothing of the part consumed yet";
    reader.clear();

    EXPECT_EQ(reader.get(), 'a');
    EXPECT_TRUE(reader.unget());
    EXPECT_EQ(reader.get(), 'a');
    EXPECT_EQ(reader.get(), 'b');
    EXPECT_TRUE(reader.putback('b'));
    EXPECT_EQ(readAll(reader, 10), "bcdef");
    EXPECT_TRUE(reader.eof()) << "the part ends after 6 bytes";

    reader.clear();
    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_EQ(digestOf(reader), sha1Of(body));
    EXPECT_EQ(copy.str().size(), file.size());
    EXPECT_TRUE(copy.str() == file) << "the re-read bytes are copied once";
}

TEST_P(PartReaderOverSource, ForwardSeekWhileHashingSkipsAndHashes) {
    const std::string payload = filler(100, 5);
    const std::string body = part(1, headerPayload("p", 1, 2)) + part(2, payload);
    Source source(GetParam(), packageFile(body));
    PartReader reader(source.stream(), true, nullptr);
    reader.acceptedTypes = {2};
    ASSERT_EQ(reader.nextPart(), 2);
    EXPECT_EQ(readAll(reader, 50), payload.substr(0, 50));

    EXPECT_FALSE(reader.seekg(10)) << "hashed bytes cannot be read again";
    reader.clear();
    EXPECT_EQ(reader.tellg(), 50);
    EXPECT_TRUE(reader.seekg(80));
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(payload[80]));
    EXPECT_FALSE(reader.seekg(101));
    reader.clear();

    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_EQ(digestOf(reader), sha1Of(body));
}

TEST(PartReader, BackwardSeekOnSeekableSourceWithoutHashingOrCopy) {
    const std::string payload = filler(100, 6);
    const std::string body = part(3, payload) + part(2, "next");
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "p.npk", packageFile(body));
    std::ifstream in(dir / "p.npk", std::ios::binary);
    PartReader reader(in, false, nullptr);
    reader.acceptedTypes = {3, 2};
    ASSERT_EQ(reader.nextPart(), 3);
    EXPECT_EQ(readAll(reader, 50), payload.substr(0, 50));
    ASSERT_TRUE(reader.seekg(10));
    EXPECT_EQ(readAll(reader, 5), payload.substr(10, 5));
    EXPECT_EQ(reader.tellg(), 15);
    ASSERT_TRUE(reader.seekg(5, std::ios::end)) << "a positive offset counts back from the end";
    EXPECT_EQ(reader.tellg(), 95);
    ASSERT_TRUE(reader.seekg(-3, std::ios::cur));
    EXPECT_EQ(reader.get(), static_cast<unsigned char>(payload[92]));
    ASSERT_EQ(reader.nextPart(), 2);
    EXPECT_EQ(readAll(reader, 4), "next");

    // A copy needs every byte once, so it forbids going back just like hashing.
    std::ifstream again(dir / "p.npk", std::ios::binary);
    std::stringbuf copy;
    PartReader copying(again, false, &copy);
    copying.acceptedTypes = {3};
    ASSERT_EQ(copying.nextPart(), 3);
    readAll(copying, 50);
    EXPECT_FALSE(copying.seekg(10));
}

TEST(PartReader, BackwardSeekFailsOnPipeEvenWithoutHashing) {
    const std::string payload = filler(100, 7);
    PipeFeed feed(packageFile(part(3, payload)));
    PartReader reader(feed.stream(), false, nullptr);
    reader.acceptedTypes = {3};
    ASSERT_EQ(reader.nextPart(), 3);
    readAll(reader, 50);
    EXPECT_FALSE(reader.seekg(10));
    reader.clear();
    ASSERT_TRUE(reader.seekg(90));
    EXPECT_EQ(readAll(reader, 20), payload.substr(90));
}

TEST(PartReader, TwoPackagesInOneStreamDigestEachPackage) {
    const std::string bundle = part(18, headerPayload("bundle", 1, 1));
    const std::string first =
        part(1, headerPayload("one", 1, 1)) + part(4, filler(30000, 8)) + part(9, filler(68, 9));
    const std::string second =
        part(1, headerPayload("two", 2, 2)) + part(4, filler(500, 10)) + part(9, filler(68, 11));
    PipeFeed feed(packageFile(bundle + first + second));
    PartReader reader(feed.stream(), true, nullptr);
    reader.acceptedTypes = {1};

    ASSERT_EQ(reader.nextPart(), 1);
    EXPECT_EQ(digestOf(reader), sha1Of(bundle)) << "the bundle header was hashed on its own";
    ASSERT_EQ(reader.nextPart(), 1);
    EXPECT_EQ(digestOf(reader), sha1Of(first));
    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_EQ(digestOf(reader), sha1Of(second));
}

TEST(PartReader, SkipsThroughSourceSeekingOnlyWhenNothingSeesTheBytes) {
    const std::string body =
        part(1, headerPayload("p", 1, 2)) + part(77, filler(50000, 12)) + part(16, "x");
    const std::string file = packageFile(body);
    {
        RecordingSource source(file, true);
        std::istream in(&source);
        PartReader reader(in, false, nullptr);
        reader.acceptedTypes = {16};
        ASSERT_EQ(reader.nextPart(), 16);
        EXPECT_GT(source.seeksAsked, 0);
        EXPECT_EQ(source.blockBytes, 8 + 3 * 6) << "only headers are read, payloads are jumped";
        EXPECT_EQ(readAll(reader, 1), "x");
    }
    {
        RecordingSource source(file, true);
        std::istream in(&source);
        PartReader reader(in, true, nullptr);
        reader.acceptedTypes = {16};
        ASSERT_EQ(reader.nextPart(), 16);
        EXPECT_EQ(source.seeksAsked, 0);
        EXPECT_EQ(source.largestRead, static_cast<std::streamsize>(kSkipChunkSize));
        EXPECT_EQ(readAll(reader, 1), "x");
        EXPECT_EQ(reader.nextPart(), -1);
        EXPECT_EQ(digestOf(reader), sha1Of(body));
    }
    {
        RecordingSource source(file, false);
        std::istream in(&source);
        PartReader reader(in, false, nullptr);
        reader.acceptedTypes = {16};
        ASSERT_EQ(reader.nextPart(), 16) << "a refused seek falls back to reading";
        EXPECT_EQ(source.largestRead, static_cast<std::streamsize>(kSkipChunkSize));
        EXPECT_EQ(readAll(reader, 1), "x");
    }
}

TEST(PartReader, ReadsNeverPassThePartEnd) {
    std::istringstream in(packageFile(part(2, "0123456789") + part(3, "abc")));
    PartReader reader(in, false, nullptr);
    reader.acceptedTypes = {2, 3};
    ASSERT_EQ(reader.nextPart(), 2);
    char buffer[100];
    EXPECT_EQ(reader.readsome(buffer, sizeof buffer), 10);
    EXPECT_EQ(reader.peek(), std::char_traits<char>::eof());
    reader.clear();
    ASSERT_EQ(reader.nextPart(), 3);
    std::string line;
    std::getline(reader, line);
    EXPECT_EQ(line, "abc");
}

TEST(PartReaderEdges, FileHeaderOnly) {
    std::istringstream in(packageFile(""));
    PartReader reader(in, true, nullptr);
    reader.acceptedTypes = {1};
    EXPECT_FALSE(reader.bad());
    EXPECT_EQ(reader.expectedSize, 8u);
    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_TRUE(reader.eof());
    EXPECT_TRUE(reader.partBuffer().digestTaken());
}

TEST(PartReaderEdges, ZeroLengthPartGivesEndOfFileAtOnce) {
    std::istringstream in(packageFile(part(16, "") + part(2, "d")));
    PartReader reader(in, true, nullptr);
    reader.acceptedTypes = {16, 2};
    ASSERT_EQ(reader.nextPart(), 16);
    EXPECT_EQ(reader.partLength(), 0u);
    EXPECT_EQ(reader.get(), std::char_traits<char>::eof());
    reader.clear();
    ASSERT_EQ(reader.nextPart(), 2);
    EXPECT_EQ(reader.get(), 'd');
}

TEST(PartReaderEdges, TruncatedInsidePartHeader) {
    const std::string header = part(1, headerPayload("p", 1, 2));
    std::istringstream in(packageFile(header + partHeader(16, 5).substr(0, 3)));
    PartReader reader(in, true, nullptr);
    reader.acceptedTypes = {1, 16};
    ASSERT_EQ(reader.nextPart(), 1);
    EXPECT_EQ(reader.nextPart(), -1);
    EXPECT_TRUE(reader.partBuffer().digestTaken());
    EXPECT_EQ(digestOf(reader), sha1Of(header));
}

TEST(PartReaderEdges, TruncatedInsidePayload) {
    const std::string file = packageFile(partHeader(2, 100) + filler(40, 13));
    {
        std::istringstream in(file);
        PartReader reader(in, true, nullptr);
        reader.acceptedTypes = {2};
        ASSERT_EQ(reader.nextPart(), 2);
        EXPECT_EQ(readAll(reader, 100).size(), 40u);
        EXPECT_TRUE(reader.eof());
        EXPECT_TRUE(reader.fail());
        EXPECT_EQ(reader.nextPart(), -1);
    }
    for (bool hashing : {false, true}) {
        std::istringstream in(file);
        PartReader reader(in, hashing, nullptr);
        reader.acceptedTypes = {16};
        EXPECT_EQ(reader.nextPart(), -1) << "skipping past the end, hashing " << hashing;
    }
}

TEST(PartReaderEdges, BadMagicOrShortFileDeliversNothing) {
    {
        std::istringstream in(fileHeader(0x12345678, 6) + part(1, ""));
        PartReader reader(in, true, nullptr);
        reader.acceptedTypes = {1};
        EXPECT_TRUE(reader.bad());
        EXPECT_EQ(reader.nextPart(), -1);
        EXPECT_EQ(reader.currentType, -1);
        EXPECT_EQ(reader.nextPart(), -1);
    }
    {
        std::istringstream in(std::string("\x1E\xF1\xD0\xBA\x00", 5));
        PartReader reader(in, true, nullptr);
        EXPECT_TRUE(reader.bad());
        EXPECT_EQ(reader.magic, kMagicUnreadable);
        EXPECT_EQ(reader.expectedSize, 0u);
        EXPECT_EQ(reader.nextPart(), -1);
    }
    {
        std::istringstream in(packageFile(part(1, "h"), kMagicUnrecorded));
        PartReader reader(in, true, nullptr);
        reader.acceptedTypes = {1};
        EXPECT_TRUE(reader.isUnrecorded());
        EXPECT_EQ(reader.nextPart(), 1);
    }
}

}  // namespace
