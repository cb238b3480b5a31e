// The package reader against package bytes written here field by field, so
// that the tests share no format writer with the code under test.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "package/PackageHeader.h"
#include "package/PartReader.h"
#include "support/Sandbox.h"

namespace {

std::string le32(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// Package bytes field by field, as helpers of the fixtures.
struct Bytes : ::testing::Test {
    static std::string le16(uint16_t v) { return le32(v).substr(0, 2); }
    static std::string partHeader(uint16_t type, uint32_t n) { return le16(type) + le32(n); }
    static std::string part(uint16_t type, const std::string& payload) {
        return partHeader(type, static_cast<uint32_t>(payload.size())) + payload;
    }
    static std::string packageFile(const std::string& body, uint32_t magic = kMagicRegular) {
        return le32(magic) + le32(static_cast<uint32_t>(body.size())) + body;
    }
    static std::string nameField(std::string name) { return name.append(16, 0).substr(0, 16); }
    // Name, version, build time, 8 bytes the reader skips, then tail (a flags
    // word, part of one, or nothing).
    static std::string header(std::string name, uint32_t version, std::string tail = "") {
        return part(1, nameField(name) + le32(version) + le32(1700000000) + "zzzzzzzz" + tail);
    }
    static std::string entry(std::string name, uint32_t min, uint32_t max, int32_t prec = 0) {
        return nameField(name) + le32(min) + "????" + le32(max) + le32(static_cast<uint32_t>(prec));
    }
    static std::string filler(size_t n, uint32_t seed) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
        return s;
    }
    static std::string sha1Of(const std::string& data) {
        std::string out(20, '\0');
        EVP_Digest(data.data(), data.size(), reinterpret_cast<uint8_t*>(&out[0]), nullptr,
                   EVP_sha1(), nullptr);
        return out;
    }
};

// Hands out its bytes in pieces of at most 64 bytes, one of them ending at
// cut, keeping one byte before each piece for put-back, and cannot seek:
// what a pipe looks like to the reader.
class PipeLikeSource : public std::streambuf {
public:
    explicit PipeLikeSource(std::string data, size_t cut = 0) : data_(std::move(data)), cut_(cut) {
        setg(&data_[0], &data_[0], &data_[0]);
    }

protected:
    int_type underflow() override {
        char* base = &data_[0];
        const size_t at = static_cast<size_t>(egptr() - base);
        if (at == data_.size()) return traits_type::eof();
        const size_t end = std::min({data_.size(), at + 64, cut_ > at ? cut_ : data_.size()});
        setg(base + at - (at > 0 ? 1 : 0), base + at, base + end);
        return traits_type::to_int_type(base[at]);
    }

private:
    std::string data_;
    size_t cut_;
};

// The same bytes from memory (a seekable source) or from a pipe-like one.
struct Source {
    Source(const std::string& bytes, bool pipe, size_t cut = 0)
        : memory(bytes), pipeLike(bytes, cut), stream(pipe ? piped : memory) {}
    std::istringstream memory;
    PipeLikeSource pipeLike;
    std::istream piped{&pipeLike};
    std::istream& stream;
};

using PartReaderTest = Bytes;
using PackageHeaderTest = Bytes;

std::string digestOf(PartReader& reader) {
    return std::string(reinterpret_cast<const char*>(reader.partBuffer().lastDigest()), 20);
}

std::string readUpTo(PartReader& reader, size_t n) {
    std::string s(n, '\0');
    reader.read(&s[0], static_cast<std::streamsize>(n));
    return s.substr(0, static_cast<size_t>(reader.gcount()));
}

// Bytes put back, even across a refill of the source, are hashed and copied once.
TEST_F(PartReaderTest, HashesFromEachPackageHeaderAndCopiesEveryByteOnce) {
    const std::string bundle = part(18, "bundle header"), signature = filler(68, 3);
    const std::string container = filler(20000, 2);
    const std::string firstSigned = header("one", 1, le32(1)) + part(16, "mipsbe") +
                                    part(77, filler(40000, 1)) +  // more than a skip chunk
                                    part(4, container) + partHeader(9, 68);
    const std::string second = header("two", 2) + part(4, "c");
    const std::string file = packageFile(bundle + firstSigned + signature + second);
    for (bool pipe : {false, true}) {
        Source source(file, pipe, file.find("mipsbe") + 1);  // a piece ends after 'm'
        std::stringbuf copy;
        PartReader reader(source.stream, true, &copy);
        reader.acceptedTypes = {1, 16, 4, 9};
        ASSERT_EQ(reader.nextPart(), 1);
        EXPECT_EQ(digestOf(reader), sha1Of(bundle)) << "the file header is not hashed";
        EXPECT_EQ(readUpTo(reader, 10), firstSigned.substr(6, 10));
        ASSERT_EQ(reader.nextPart(), 16);
        EXPECT_EQ(reader.partOffset(), file.find("mipsbe"));
        EXPECT_FALSE(reader.unget()) << "nothing of the part consumed yet";
        reader.clear();
        EXPECT_EQ(reader.get(), 'm');
        EXPECT_EQ(reader.peek(), 'i');  // the source refills, keeping 'm' for put-back
        EXPECT_TRUE(reader.unget());
        EXPECT_EQ(reader.get(), 'm');
        EXPECT_EQ(reader.get(), 'i');
        EXPECT_TRUE(reader.putback('i'));
        EXPECT_EQ(readUpTo(reader, 10), "ipsbe");
        reader.clear();
        ASSERT_EQ(reader.nextPart(), 4) << "the unaccepted type is passed over";
        EXPECT_EQ(readUpTo(reader, 5000), container.substr(0, 5000));
        EXPECT_EQ(reader.tellg(), 5000);
        ASSERT_EQ(reader.nextPart(), 9);
        uint8_t digest[20];
        ASSERT_TRUE(reader.partBuffer().takeDigest(digest));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), 20), sha1Of(firstSigned));
        ASSERT_EQ(reader.nextPart(), 1);
        EXPECT_EQ(digestOf(reader), sha1Of(signature)) << "hashed anew after the digest";
        ASSERT_EQ(reader.nextPart(), 4);
        EXPECT_EQ(reader.nextPart(), -1);
        EXPECT_TRUE(reader.eof() && reader.fail());
        EXPECT_EQ(digestOf(reader), sha1Of(second)) << "a digest is taken at the end";
        EXPECT_TRUE(copy.str() == file) << "skipped bytes are copied too";
    }
}

TEST_F(PartReaderTest, SeeksBackOnlyWhenNothingSeesTheBytesAndTheSourceCan) {
    const std::string payload = filler(100, 6), body = part(3, payload) + part(2, "next");
    const std::string file = packageFile(body);
    for (int mode = 0; mode < 8; ++mode) {
        const bool pipe = mode & 1, hashing = mode & 2, copying = mode & 4;
        SCOPED_TRACE(mode);
        Source source(file, pipe);
        std::stringbuf copy;
        PartReader reader(source.stream, hashing, copying ? &copy : nullptr);
        reader.acceptedTypes = {3, 2};
        ASSERT_EQ(reader.nextPart(), 3);
        EXPECT_EQ(readUpTo(reader, 50), payload.substr(0, 50));
        const bool back = !pipe && !hashing && !copying;
        EXPECT_EQ(static_cast<bool>(reader.seekg(0)), back);
        reader.clear();
        if (back) {
            EXPECT_EQ(reader.get(), static_cast<unsigned char>(payload[0]));
            ASSERT_TRUE(reader.seekg(5, std::ios::end)) << "a positive offset counts from the end";
            EXPECT_EQ(reader.tellg(), 95);
            ASSERT_TRUE(reader.seekg(-50, std::ios::cur));
            EXPECT_EQ(reader.get(), static_cast<unsigned char>(payload[45]));
        }
        ASSERT_TRUE(reader.seekg(80));
        EXPECT_EQ(reader.get(), static_cast<unsigned char>(payload[80]));
        EXPECT_FALSE(reader.seekg(101));
        reader.clear();
        ASSERT_EQ(reader.nextPart(), 2);
        EXPECT_EQ(readUpTo(reader, 4), "next");
        EXPECT_EQ(reader.nextPart(), -1);
        EXPECT_TRUE(!hashing || digestOf(reader) == sha1Of(body));
        EXPECT_TRUE(!copying || copy.str() == file);
    }
}

// What a reader shows of a file: its verdict on the file header, the size the
// header gives when it is not the file's, each accepted part as type:payload
// (read with room to spare, "!" when cut short), and the two answers after it.
std::string transcript(const std::string& file, std::vector<uint32_t> accepted, bool hashing) {
    std::istringstream in(file);
    PartReader reader(in, hashing, nullptr);
    reader.acceptedTypes = std::move(accepted);
    std::string out = reader.bad() ? "bad " : "";
    if (reader.magic == kMagicUnreadable) out += "unreadable ";
    if (reader.isUnrecorded()) out += "unrecorded ";
    if (reader.expectedSize != file.size())
        out += "size=" + std::to_string(reader.expectedSize) + " ";
    for (int32_t type = reader.nextPart(); type != -1; type = reader.nextPart()) {
        const std::string payload = readUpTo(reader, reader.partLength() + 10);
        out += std::to_string(type) + ":" + payload +
               (payload.size() < reader.partLength() ? "! " : " ");
        reader.clear();
    }
    return out + "-1 " + std::to_string(reader.nextPart());
}

TEST_F(PartReaderTest, Boundaries) {
    const std::string cut40 = packageFile(partHeader(2, 100) + std::string(40, 'x'));
    struct Case {
        std::string file;
        std::vector<uint32_t> accepted;
        std::string shown;  // the same whether the reader hashes or not
    };
    const std::string twoParts = packageFile(part(2, "0123456789") + part(3, "abc"));
    const std::vector<Case> cases = {
        {packageFile(""), {1}, "-1 -1"},
        {packageFile(part(16, "") + part(2, "d")), {16, 2}, "16: 2:d -1 -1"},
        {twoParts, {2, 3}, "2:0123456789 3:abc -1 -1"},
        {packageFile(header("p", 1) + std::string("\x10\x00\x05", 3)), {16}, "-1 -1"},
        {cut40, {2}, "2:" + std::string(40, 'x') + "! -1 -1"},
        {cut40, {16}, "-1 -1"},  // skipping past the end
        {packageFile(part(1, "h"), 0x12345678), {1}, "bad -1 -1"},
        {std::string("\x1E\xF1\xD0\xBA\x00", 5), {1}, "bad unreadable size=0 -1 -1"},
        {packageFile(part(1, "h"), kMagicUnrecorded), {1}, "unrecorded 1:h -1 -1"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        for (bool hashing : {false, true})
            EXPECT_EQ(transcript(cases[i].file, cases[i].accepted, hashing), cases[i].shown) << i;
    }
}

std::string summary(const PackageInfo& p) {
    std::ostringstream s;
    s << p.name << " " << std::hex << p.version << " flags=" << p.flags << " " << p.architecture;
    if (!p.auxText.empty()) s << " aux=" << p.auxText;
    if (!p.description.empty()) s << " desc=" << p.description;
    if (!p.note.empty()) s << " note=" << p.note.substr(0, 8) << "(" << p.note.size() << ")";
    const std::pair<const char*, const std::vector<PackageRange>*> lists[] = {
        {" dep ", &p.dependencies}, {" provides ", &p.provides}, {" conflicts ", &p.conflicts}};
    for (const auto& list : lists)
        for (const PackageRange& r : *list.second)
            s << list.first << r.name << "," << r.min << "," << r.max << "," << r.precedence;
    if (p.hasImagePart) s << " image";
    if (p.isBundle) s << " bundle";
    for (const auto& member : p.members) s << " [" << summary(*member) << "]";
    return s.str();
}

std::string load(const std::string& bytes) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "p.npk", bytes);
    PackageFile file;
    if (!loadPackageFile(file, dir / "p.npk")) return "refused";
    EXPECT_EQ(file.expectedSize, bytes.size());
    return summary(file) + (file.kind == PackageKind::Unrecorded ? " unrecorded" : "");
}

std::string member(const std::string& name, uint32_t version) {
    using B = Bytes;
    return B::header(name, version) + B::part(16, "mipsbe") +
           B::part(3, B::le16(1) + B::entry("system", 1, 0)) +
           B::part(4, B::filler(3000, version)) + B::part(9, B::filler(68, version));
}

TEST_F(PackageHeaderTest, LoadedFilesAndRefusals) {
    const std::string arch = part(16, "ppc"), p1 = header("p", 1);
    const std::string longest(kMaxTextPartSize, 'n');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {packageFile(header("pkg", 0x06026601) + arch), "pkg 6026601 flags=0 ppc"},
        {packageFile(header("pkg", 1) + arch, kMagicUnrecorded), "pkg 1 flags=0 ppc unrecorded"},
        // The flags word only when four bytes follow; shorter tails are consumed.
        {packageFile(header("pkg", 1, le16(3)) + arch), "pkg 1 flags=0 ppc"},
        {packageFile(header("pkg", 1, le32(0x80000003)) + arch), "pkg 1 flags=80000003 ppc"},
        {packageFile(header("pkg", 1, le32(5) + "more") + arch), "pkg 1 flags=5 ppc"},
        {packageFile(header("abcdefghijklmnop", 1)), "abcdefghijklmnop 1 flags=0 i386"},
        {packageFile(header(std::string("ab\0cd", 5), 1)), "ab 1 flags=0 i386"},
        {packageFile(p1 + part(16, "") + part(2, "d")), "p 1 flags=0  desc=d"},
        {packageFile(p1 + part(24, "aux") + arch + part(2, "about") + part(23, "a note") +
                     part(3, le16(2) + entry("system", 0x06000000, 0x06FF0000) +
                                 entry("abcdefghijklmnopq", 0, 0, -7)) +
                     part(19, le16(1) + entry("cap", 3, 4, 12)) +
                     part(17, le16(1) + entry("old", 0, 9)) + part(21, "image") + part(4, "zz")),
         "p 1 flags=0 ppc aux=aux desc=about note=a note(6) dep system,6000000,6ff0000,0 "
         "dep abcdefghijklmnop,0,0,fffffff9 provides cap,3,4,c conflicts old,0,9,0 image"},
        {packageFile(p1 + part(3, le16(0)) + part(19, le16(1) + entry("c", 1, 1))),
         "p 1 flags=0 i386 provides c,1,1,0"},
        // Metadata out of its order ends the header.
        {packageFile(p1 + part(3, le16(1) + entry("d", 1, 0)) + arch),
         "p 1 flags=0 i386 dep d,1,0,0"},
        {packageFile(p1 + part(23, longest)), "p 1 flags=0 i386 note=nnnnnnnn(10000)"},
        {packageFile(part(18, p1.substr(6)) + part(3, le16(0)) + part(21, "whole") +
                     member("first", 0x07000001) + member("second", 0x07000002)),
         "p 1 flags=0 i386 image bundle [first 7000001 flags=0 mipsbe dep system,1,0,0] "
         "[second 7000002 flags=0 mipsbe dep system,1,0,0]"},
        {packageFile(part(1, p1.substr(6, 31)) + arch), "refused"},  // header part too short
        {packageFile(arch + p1), "refused"},
        {packageFile(member("solo", 1), 0x11111111), "refused"},
        {packageFile(member("solo", 1)) + "x", "refused"},  // longer than its header says
        {packageFile(p1 + partHeader(2, 0xFFFFFFF0u) + "abc"), "refused"},
        {packageFile(p1 + partHeader(2, 4) + "abc"), "refused"},
        {packageFile(p1 + part(23, longest + "n")), "refused"},
        {packageFile(p1 + part(3, le16(3) + entry("a", 1, 1) + entry("b", 1, 1))), "refused"},
        {packageFile(p1 + part(17, "\x01")), "refused"},
        {packageFile(p1 + part(3, le16(65535))), "refused"},
        {packageFile(part(18, p1.substr(6)) + part(4, "c")), "refused"},  // a bundle, no member
        {packageFile(part(18, p1.substr(6)) + part(1, "too short")), "refused"},
    };
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(load(cases[i].first), cases[i].second) << i;
    PackageFile missing;
    EXPECT_FALSE(loadPackageFile(missing, "/nonexistent/p.npk"));
}

TEST_F(PackageHeaderTest, FlagsArrivingLateOnAPipeAreRead) {
    // The source pauses right after the 32 fixed header bytes: nothing of the
    // flags word is available yet, but it is part of the header.
    const std::string file = packageFile(header("late", 1, le32(kFlagBootImage)) + part(16, "arm"));
    PipeLikeSource source(file, 8 + 6 + kHeaderPartSize);
    std::istream in(&source);
    PartReader reader(in, true, nullptr);
    reader.acceptedTypes = {1, 16};
    ASSERT_EQ(reader.nextPart(), 1);
    PackageInfo info;
    ASSERT_TRUE(parsePackageHeader(info, reader));
    EXPECT_EQ(summary(info), "late 1 flags=1 arm");
}

}  // namespace
