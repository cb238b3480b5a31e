#include "zstream/InflateStream.h"

#include <algorithm>
#include <cstring>

InflateStreamBuf::InflateStreamBuf(std::streambuf* source) : source_(source) {
    setg(outputArea(), outputArea(), outputArea());
    std::memset(&zs_, 0, sizeof zs_);
    zs_.next_in = reinterpret_cast<Bytef*>(input_);
    zs_.avail_in = 0;
    // A failed initialisation makes every inflate call fail, which reads as
    // end-of-file; nothing more to do here.
    inflateInit(&zs_);
}

InflateStreamBuf::~InflateStreamBuf() {
    inflateEnd(&zs_);
}

uint32_t InflateStreamBuf::deliveredCount() const {
    return inflated_ - static_cast<uint32_t>(egptr() - gptr());
}

InflateStreamBuf::int_type InflateStreamBuf::fail(char* start) {
    setg(start, outputArea(), outputArea());
    return traits_type::eof();
}

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());

    char* start = outputArea();
    if (gptr() > eback()) {
        putback_[0] = gptr()[-1];
        start = putback_;
    }

    // Whatever follows the end of the zlib stream is not part of it.
    if (complete_) return fail(start);
    for (;;) {
        if (zs_.avail_in == 0) {
            zs_.next_in = reinterpret_cast<Bytef*>(input_);
            std::streamsize got = source_->sgetn(input_, kInflateWindowSize);
            if (got <= 0) {
                zs_.avail_in = 0;
                return fail(start);
            }
            zs_.avail_in = static_cast<uInt>(got);
        }
        zs_.next_out = reinterpret_cast<Bytef*>(outputArea());
        zs_.avail_out = kInflateWindowSize;
        int result = inflate(&zs_, Z_PARTIAL_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) return fail(start);
        if (result == Z_STREAM_END) complete_ = true;

        uint32_t produced = static_cast<uint32_t>(kInflateWindowSize - zs_.avail_out);
        inflated_ += produced;
        if (produced > 0) {
            setg(start, outputArea(), outputArea() + produced);
            return traits_type::to_int_type(*gptr());
        }
        if (result == Z_STREAM_END) return fail(start);
    }
}

size_t InflateStreamBuf::nextSpan(const char*& data, size_t max) {
    if (max == 0) return 0;
    if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof())) return 0;
    size_t n = std::min(max, static_cast<size_t>(egptr() - gptr()));
    data = gptr();
    gbump(static_cast<int>(n));
    return n;
}

InflateStreamBuf::pos_type InflateStreamBuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                     std::ios_base::openmode) {
    const pos_type failed(off_type(-1));
    if (dir == std::ios_base::end) return failed;
    if (dir == std::ios_base::beg) {
        off -= static_cast<off_type>(deliveredCount());
    }
    if (off < 0) return failed;

    char scratch[kInflateSkipChunk];
    while (off > 0) {
        std::streamsize chunk =
            static_cast<std::streamsize>(std::min<off_type>(off, kInflateSkipChunk));
        if (xsgetn(scratch, chunk) != chunk) return failed;
        off -= chunk;
    }
    return pos_type(off_type(inflated_));
}

InflateStreamBuf::pos_type InflateStreamBuf::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

InflateStream::InflateStream(std::istream& source)
    : std::istream(nullptr), buffer_(std::make_unique<InflateStreamBuf>(source.rdbuf())) {
    init(buffer_.get());
}

InflateStream::~InflateStream() = default;

size_t InflateStream::nextSpan(const char*& data, size_t max) {
    size_t n = buffer_->nextSpan(data, max);
    if (n == 0 && max != 0) setstate(std::ios_base::eofbit | std::ios_base::failbit);
    return n;
}
