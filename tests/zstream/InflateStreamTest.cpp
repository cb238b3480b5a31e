#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>

#include "zstream/InflateStream.h"

namespace {

std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// Text-like data: words from a small vocabulary, so deflate finds matches and
// writes Huffman-coded blocks with length/distance codes.
std::string compressibleBytes(size_t n, uint32_t seed) {
    static const char* const kWords[] = {"route ", "packet ", "flash ",  "install ", "0x1F ",
                                         "\n",     "table ",  "bridge ", "vlan42 "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    s.resize(n);
    return s;
}

std::string zlibCompress(const std::string& data, int level = 6) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    int rc = compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                       reinterpret_cast<const Bytef*>(data.data()), data.size(), level);
    EXPECT_EQ(rc, Z_OK);
    out.resize(size);
    return out;
}

// A source that hands out at most a few bytes per request, so that inflate sees
// input windows ending inside codes and header fields.
class TrickleBuf : public std::streambuf {
public:
    TrickleBuf(std::string data, size_t maxPiece) : data_(std::move(data)), maxPiece_(maxPiece) {}

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        size_t piece = std::min<size_t>({static_cast<size_t>(n), maxPiece_, data_.size() - pos_});
        std::copy_n(data_.data() + pos_, piece, s);
        pos_ += piece;
        // vary the piece size so boundaries fall everywhere
        maxPiece_ = maxPiece_ % 7 + 1;
        return static_cast<std::streamsize>(piece);
    }
    int_type underflow() override {
        return pos_ < data_.size() ? traits_type::to_int_type(data_[pos_]) : traits_type::eof();
    }

private:
    std::string data_;
    size_t maxPiece_;
    size_t pos_ = 0;
};

std::string readAll(std::istream& in) {
    std::string out;
    char buf[777];  // deliberately not a divisor of the window size
    while (in.read(buf, sizeof buf) || in.gcount() > 0) out.append(buf, in.gcount());
    return out;
}

std::string inflateFromString(const std::string& compressed) {
    std::istringstream source(compressed);
    InflateStream in(source);
    return readAll(in);
}

bool isPrefix(const std::string& part, const std::string& whole) {
    return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

TEST(InflateStream, RoundTripsAcrossWindowSizes) {
    const size_t sizes[] = {0,    1,    100,   4095,  4096,  4097,  8191,
                            8192, 8193, 12289, 20000, 65536, 300001};
    uint32_t seed = 1;
    for (size_t n : sizes) {
        for (int kind = 0; kind < 2; ++kind) {
            std::string data = kind == 0 ? randomBytes(n, seed++) : compressibleBytes(n, seed++);
            for (int level : {0, 1, 9}) {
                SCOPED_TRACE("size " + std::to_string(n) + " kind " + std::to_string(kind) +
                             " level " + std::to_string(level));
                EXPECT_EQ(inflateFromString(zlibCompress(data, level)), data);
            }
        }
    }
}

TEST(InflateStream, TinyInputPiecesDeliverEveryByteOnceInOrder) {
    // Highly compressible data fills many 4096-byte output windows from a few
    // input bytes, so windows end with partial codes pending in the input.
    for (size_t n : {size_t(4096) * 3, size_t(4096) * 3 + 1, size_t(4096) * 5 - 1, size_t(50000)}) {
        for (int kind = 0; kind < 2; ++kind) {
            SCOPED_TRACE("size " + std::to_string(n) + " kind " + std::to_string(kind));
            std::string data = kind == 0 ? randomBytes(n, 7) : compressibleBytes(n, 7);
            TrickleBuf trickle(zlibCompress(data, 9), 3);
            std::istream source(&trickle);
            InflateStream in(source);
            std::string got;
            int c;
            while ((c = in.get()) != EOF) got.push_back(static_cast<char>(c));
            EXPECT_EQ(got.size(), data.size());
            EXPECT_EQ(got, data);
        }
    }
}

TEST(InflateStream, CountsInflatedBytes) {
    std::string data = compressibleBytes(10000, 3);
    std::istringstream source(zlibCompress(data));
    InflateStreamBuf buf(source.rdbuf());
    EXPECT_EQ(buf.inflatedCount(), 0u);
    EXPECT_EQ(buf.sgetc(), static_cast<unsigned char>(data[0]));
    EXPECT_EQ(buf.inflatedCount(), 4096u);  // one full window
    char sink[10000];
    EXPECT_EQ(buf.sgetn(sink, sizeof sink), 10000);
    EXPECT_EQ(buf.inflatedCount(), 10000u);
    EXPECT_EQ(buf.sgetc(), EOF);
}

TEST(InflateStream, PutBackWorksAcrossEveryRefill) {
    std::string data = randomBytes(30000, 11);
    TrickleBuf trickle(zlibCompress(data), 5);
    InflateStreamBuf buf(&trickle);
    size_t pos = 0;
    int refills = 0;
    while (pos < data.size()) {
        if (buf.in_avail() == 0 && pos > 0) {
            // The window is used up: force the refill, then step back over it.
            ASSERT_EQ(buf.sgetc(), static_cast<unsigned char>(data[pos]));
            ASSERT_EQ(buf.sungetc(), static_cast<unsigned char>(data[pos - 1])) << pos;
            ASSERT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[pos - 1]));
            ++refills;
        }
        ASSERT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[pos])) << pos;
        ++pos;
    }
    EXPECT_EQ(buf.sgetc(), EOF);
    EXPECT_GT(refills, 7);
}

TEST(InflateStream, UngetAfterReadingExactlyOneWindowAndAcrossTheRefill) {
    std::string data = compressibleBytes(9000, 5);
    std::istringstream source(zlibCompress(data));
    InflateStream in(source);
    std::string first(kInflateWindowSize, '\0');
    ASSERT_TRUE(in.read(&first[0], first.size()));
    EXPECT_EQ(first, data.substr(0, kInflateWindowSize));
    ASSERT_TRUE(in.unget());
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[4095]));
    // The next byte comes from a new window; the previous one stays reachable.
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[4096]));
    ASSERT_TRUE(in.unget());
    ASSERT_TRUE(in.unget());
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[4095]));
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[4096]));
    EXPECT_EQ(readAll(in), data.substr(4097));
}

TEST(InflateStream, EmptySourceIsEndOfFileAtOnce) {
    std::istringstream source("");
    InflateStream in(source);
    char c;
    EXPECT_FALSE(in.read(&c, 1));
    EXPECT_TRUE(in.eof());
    EXPECT_EQ(in.gcount(), 0);
}

TEST(InflateStream, EmptyZlibStreamIsEndOfFile) {
    EXPECT_EQ(inflateFromString(zlibCompress("")), "");
}

// How zlib itself judges the whole input at once: Z_STREAM_END, Z_OK (wants more
// input) or an error code.
int zlibVerdict(const std::string& compressed, size_t outSize) {
    z_stream zs{};
    inflateInit(&zs);
    std::string in = compressed;
    std::string out(outSize, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(&in[0]);
    zs.avail_in = in.size();
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = out.size();
    int rc = inflate(&zs, Z_PARTIAL_FLUSH);
    inflateEnd(&zs);
    return rc;
}

TEST(InflateStream, DetectedCorruptionInOneWindowDeliversNothing) {
    // Everything fits one inflate call, so a detected error must discard the
    // whole window rather than hand out what inflate wrote before failing.
    std::string data = compressibleBytes(3000, 21);
    std::string good = zlibCompress(data);
    size_t detected = 0;
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x55);
        int verdict = zlibVerdict(bad, kInflateWindowSize);
        std::string got = inflateFromString(bad);
        if (verdict != Z_OK && verdict != Z_STREAM_END) {
            ++detected;
            EXPECT_TRUE(got.empty()) << "corrupt byte " << i << " delivered " << got.size();
        }
    }
    // Only a corruption that makes the data look unfinished (zlib waits for more
    // input that never comes) escapes detection.
    EXPECT_GT(detected, good.size() * 9 / 10);
}

TEST(InflateStream, InvalidBlockMidStreamEndsAtAPrefix) {
    std::string data = compressibleBytes(40000, 8);
    const size_t flushedAt = 25000;
    // Compress with a full flush so the next block header starts on a byte.
    z_stream zs{};
    ASSERT_EQ(deflateInit(&zs, 6), Z_OK);
    std::string out(compressBound(data.size()) + 64, '\0');
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = out.size();
    zs.next_in = reinterpret_cast<Bytef*>(&data[0]);
    zs.avail_in = flushedAt;
    ASSERT_EQ(deflate(&zs, Z_FULL_FLUSH), Z_OK);
    size_t blockStart = zs.total_out;
    zs.avail_in = data.size() - flushedAt;
    ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    ASSERT_EQ(inflateFromString(out), data);

    out[blockStart] = 0x06;  // block type 3 is reserved: inflate must refuse it
    std::string got = inflateFromString(out);
    EXPECT_TRUE(isPrefix(got, data));
    EXPECT_LE(got.size(), flushedAt);
    EXPECT_GE(got.size(), flushedAt - kInflateWindowSize);

    TrickleBuf trickle(out, 4);
    std::istream source(&trickle);
    InflateStream in(source);
    got = readAll(in);
    EXPECT_TRUE(isPrefix(got, data));
    EXPECT_LE(got.size(), flushedAt);
}

TEST(InflateStream, WrongChecksumEndsTheStreamEarly) {
    for (size_t n : {size_t(1000), size_t(20000), size_t(70001)}) {
        SCOPED_TRACE(n);
        std::string data = randomBytes(n, static_cast<uint32_t>(n));
        std::string compressed = zlibCompress(data);
        compressed[compressed.size() - 1] ^= 1;
        std::string got = inflateFromString(compressed);
        EXPECT_TRUE(isPrefix(got, data));
        EXPECT_LT(got.size(), data.size());
    }
}

TEST(InflateStream, TruncatedSourceEndsAtAPrefix) {
    std::string data = compressibleBytes(60000, 4);
    std::string compressed = zlibCompress(data);
    for (size_t cut : {size_t(1), size_t(2), size_t(100), compressed.size() / 2}) {
        std::string got = inflateFromString(compressed.substr(0, cut));
        EXPECT_TRUE(isPrefix(got, data)) << cut;
        EXPECT_LT(got.size(), data.size()) << cut;
    }
    // Without its last checksum byte the data is all there but never confirmed.
    std::string got = inflateFromString(compressed.substr(0, compressed.size() - 1));
    EXPECT_TRUE(isPrefix(got, data));
}

TEST(InflateStream, SkipsForwardByReading) {
    std::string data = randomBytes(12000, 9);
    std::istringstream source(zlibCompress(data));
    InflateStream in(source);
    EXPECT_TRUE(in.seekg(0, std::ios_base::cur));
    ASSERT_TRUE(in.seekg(5000, std::ios_base::cur));
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[5000]));
    ASSERT_TRUE(in.seekg(1023, std::ios_base::cur));
    EXPECT_EQ(in.get(), static_cast<unsigned char>(data[6024]));
    // Exactly to the end still succeeds; one more byte does not exist.
    ASSERT_TRUE(in.seekg(static_cast<std::streamoff>(data.size() - 6025), std::ios_base::cur));
    EXPECT_EQ(in.peek(), EOF);
}

TEST(InflateStream, SkipPastTheEndFails) {
    std::string data = randomBytes(5000, 2);
    std::istringstream source(zlibCompress(data));
    InflateStream in(source);
    EXPECT_FALSE(in.seekg(5001, std::ios_base::cur));
}

TEST(InflateStream, SeeksFromTheEndOrBackwardFail) {
    std::string data = compressibleBytes(9000, 6);
    std::istringstream source(zlibCompress(data));
    InflateStreamBuf buf(source.rdbuf());
    const std::streampos failed(std::streamoff(-1));
    EXPECT_EQ(buf.pubseekoff(0, std::ios_base::end, std::ios_base::in), failed);
    EXPECT_EQ(buf.pubseekoff(-10, std::ios_base::end, std::ios_base::in), failed);
    EXPECT_EQ(buf.pubseekoff(-1, std::ios_base::cur, std::ios_base::in), failed);
    // Absolute positions count what has been read and only move forward.
    EXPECT_NE(buf.pubseekpos(3000, std::ios_base::in), failed);
    EXPECT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[3000]));
    EXPECT_EQ(buf.pubseekpos(3000, std::ios_base::in), failed);
    EXPECT_NE(buf.pubseekpos(3001, std::ios_base::in), failed);
    EXPECT_EQ(buf.sbumpc(), static_cast<unsigned char>(data[3001]));
}

}  // namespace
