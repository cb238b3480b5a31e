#pragma once
// An input stream that inflates a zlib stream read from another stream buffer,
// through two fixed 4096-byte windows.
#include <zlib.h>

#include <cstdint>
#include <istream>
#include <streambuf>

constexpr size_t kInflateWindowSize = 4096;
constexpr size_t kInflateSkipChunk = 1024;

class InflateStreamBuf : public std::streambuf {
public:
    explicit InflateStreamBuf(std::streambuf* source);
    ~InflateStreamBuf() override;

    uint32_t inflatedCount() const { return inflated_; }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    int_type underflow() override;

private:
    // The put-back slot lies directly before the output area so that one byte
    // survives a refill.
    char putback_[1 + kInflateWindowSize];
    char input_[kInflateWindowSize];
    z_stream zs_;
    std::streambuf* source_;
    uint32_t inflated_ = 0;
};

class InflateStream : public std::istream {
public:
    explicit InflateStream(std::istream& source);
    ~InflateStream() override;

private:
    InflateStreamBuf* buffer_;
};
