#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "zstream/InflateStream.h"

namespace {

// Text-like (deflate finds matches) or random (stored or literal blocks) bytes.
std::string sample(size_t n, uint32_t seed, bool text) {
    static const char* const kWords[] = {"route ", "packet ", "flash ", "0x1F ", "\n", "vlan42 "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += text ? kWords[rng() % 6] : std::string(1, char(rng()));
    return s.substr(0, n);
}

std::string deflated(const std::string& data, int level = 6) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()),
              data.size(), level);
    return out.substr(0, size);
}

// A zlib stream with the first n bytes of data in a stored block, then a block
// of the reserved type 3, which inflate must refuse.
std::string refusedAfter(const std::string& data, uint16_t n) {
    return std::string("\x78\x01\x00", 3) + char(n) + char(n >> 8) + char(~n) + char(~n >> 8) +
           data.substr(0, n) + "\x06";
}

// With a limit, 1 to limit bytes a request: inflate's input ends inside codes.
struct TrickleBuf : std::stringbuf {
    TrickleBuf(const std::string& data, int limit) : std::stringbuf(data), limit(limit) {}
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        return std::stringbuf::xsgetn(
            s, limit ? std::min<std::streamsize>(n, ++calls % limit + 1) : n);
    }
    int limit, calls = 0;
};

// What the stream delivers, read in pieces that do not divide the window, copied
// out or taken in place.
std::string inflateAll(const std::string& compressed, int limit, bool inPlace, bool& complete) {
    TrickleBuf pieces(compressed, limit);
    std::istream source(&pieces);
    InflateStream in(source);
    std::string out;
    char buffer[777];
    if (inPlace) {
        const char* data = nullptr;
        while (size_t n = in.nextSpan(data, sizeof buffer)) out.append(data, n);
        EXPECT_TRUE(in.eof() && in.fail());
    } else {
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) out.append(buffer, in.gcount());
    }
    complete = in.complete();
    return out;
}

TEST(InflateStream, DeliversAVerifiedPrefixOfTheData) {
    struct Case {
        std::string data, compressed;
        size_t least, most;  // bounds of the prefix delivered; most for whole input
        bool complete;
    };
    std::vector<Case> cases;
    for (size_t n : {0, 1, 4095, 4096, 4097, 12289, 300001}) {
        for (bool text : {false, true}) {
            const std::string data = sample(n, static_cast<uint32_t>(n), text);
            for (int level : {0, 1, 9}) cases.push_back({data, deflated(data, level), n, n, true});
        }
    }
    const std::string data = sample(60000, 4, true), good = deflated(data);
    cases.push_back({data, good + "trailing garbage", 60000, 60000, true});
    const std::string badSum = good.substr(0, good.size() - 1) + char(good.back() ^ 1);
    cases.push_back({data, badSum, 0, 59999, false});  // the window with the end refused
    // Cut short, even by the last checksum byte alone: never confirmed.
    for (size_t cut : {size_t(0), size_t(2), size_t(100), good.size() / 2, good.size() - 1})
        cases.push_back({data, good.substr(0, cut), 0, 60000, false});
    // A block refused midway: earlier windows arrive, the failing one never.
    cases.push_back({data, refusedAfter(data, 25000), 25000 - kInflateWindowSize, 25000, false});
    cases.push_back({data, refusedAfter(data, 1000), 0, 0, false});
    for (size_t i = 0; i < cases.size(); ++i) {
        for (int run = 0; run < 4; ++run) {
            const int limit = run % 2 == 0 ? 0 : 7;
            bool complete = false;
            const std::string got = inflateAll(cases[i].compressed, limit, run >= 2, complete);
            EXPECT_TRUE(cases[i].data.compare(0, got.size(), got) == 0) << i;
            EXPECT_GE(got.size(), cases[i].least) << i;
            EXPECT_TRUE(limit != 0 || got.size() <= cases[i].most) << i;
            EXPECT_EQ(complete, cases[i].complete) << i;
        }
    }
}

TEST(InflateStream, PutBackAtTheStartAndAcrossEveryRefill) {
    const std::string data = sample(30000, 11, false);
    TrickleBuf pieces(deflated(data), 7);
    InflateStreamBuf buf(&pieces);
    EXPECT_EQ(buf.sgetc(), static_cast<unsigned char>(data[0]));
    EXPECT_EQ(buf.sungetc(), EOF) << "nothing read yet";
    for (size_t pos = 0; pos < data.size(); ++pos) {
        if (buf.in_avail() == 0 && pos > 0) {
            // The window is used up: force the refill, then step back over it.
            ASSERT_EQ(buf.sgetc(), static_cast<unsigned char>(data[pos]));
            ASSERT_EQ(buf.sungetc(), static_cast<unsigned char>(data[pos - 1])) << pos;
            ASSERT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[pos - 1]));
        }
        ASSERT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[pos])) << pos;
    }
    EXPECT_EQ(buf.sgetc(), EOF);
}

TEST(InflateStream, SeeksOnlyForwardByReading) {
    const std::string data = sample(12000, 9, true);
    TrickleBuf source(deflated(data), 0);
    InflateStreamBuf buf(&source);
    const auto seek = [&buf](std::streamoff off, std::ios_base::seekdir dir) {
        return buf.pubseekoff(off, dir, std::ios_base::in) != std::streampos(std::streamoff(-1));
    };
    EXPECT_FALSE(seek(0, std::ios_base::end));
    EXPECT_FALSE(seek(-1, std::ios_base::cur));
    EXPECT_TRUE(seek(5000, std::ios_base::cur));
    EXPECT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[5000]));
    EXPECT_FALSE(seek(5000, std::ios_base::beg)) << "positions count what has been read";
    EXPECT_TRUE(seek(6024, std::ios_base::beg));
    EXPECT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[6024]));
    EXPECT_TRUE(seek(12000 - 6025, std::ios_base::cur)) << "exactly to the end";
    EXPECT_FALSE(seek(1, std::ios_base::cur)) << "past the end";
}

}  // namespace
