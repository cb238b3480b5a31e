#pragma once
// An input stream that inflates a zlib stream (RFC 1950) read from another stream
// buffer, through two fixed 4096-byte windows allocated with the buffer object.
// Any failure (source dry, corrupt data, wrong Adler-32) reads as end-of-file.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>

constexpr size_t kInflateWindowSize = 4096;
constexpr size_t kInflateSkipChunk = 1024;

class InflateStreamBuf : public std::streambuf {
public:
    // The source is not owned; it must outlive this buffer.
    explicit InflateStreamBuf(std::streambuf* source);
    ~InflateStreamBuf() override;
    InflateStreamBuf(const InflateStreamBuf&) = delete;
    InflateStreamBuf& operator=(const InflateStreamBuf&) = delete;

    // Total bytes inflated so far, including those not yet read.
    uint32_t inflatedCount() const { return inflated_; }
    // Whether the zlib stream ended properly (its Adler-32 checked); false while
    // it goes on, and for good after corrupt data or a source that ran dry.
    bool complete() const { return complete_; }
    // Up to max inflated bytes in place, consumed as they are handed out: data
    // points into the output window and stays valid until the next read. 0 at
    // end-of-file.
    size_t nextSpan(const char*& data, size_t max);

protected:
    // Forward skipping only, by reading. Succeeds with the inflated count (a
    // success indicator, not a position); -1 when the skip runs past the end, for
    // a backward move and for any seek from the end. Positions from the beginning
    // count the bytes already handed to the reader.
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    int_type underflow() override;

private:
    char* outputArea() { return putback_ + 1; }
    // Bytes handed to the reader so far.
    uint32_t deliveredCount() const;
    // Leaves nothing readable but the put-back byte, so that a failed refill never
    // exposes what a failing inflate call may have written.
    int_type fail(char* start);

    // The put-back slot lies directly before the output area so that one byte
    // survives a refill.
    char putback_[1 + kInflateWindowSize];
    char input_[kInflateWindowSize];
    z_stream zs_;
    std::streambuf* source_;
    uint32_t inflated_ = 0;
    bool complete_ = false;
};

class InflateStream : public std::istream {
public:
    // Reads compressed bytes from source's stream buffer, which must outlive this
    // stream; the source stream itself is left alone.
    explicit InflateStream(std::istream& source);
    ~InflateStream() override;
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    bool complete() const { return buffer_->complete(); }
    // As InflateStreamBuf::nextSpan, without a copy; end-of-file sets eofbit and
    // failbit as a short read does.
    size_t nextSpan(const char*& data, size_t max);

private:
    std::unique_ptr<InflateStreamBuf> buffer_;
};
