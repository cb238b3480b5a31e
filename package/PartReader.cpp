#include "package/PartReader.h"

#include <algorithm>

#include "platform/ByteOrder.h"

namespace {

const std::streambuf::pos_type kSeekFailed(std::streambuf::off_type(-1));

}  // namespace

PartStreambuf::PartStreambuf(std::streambuf* sourceBuffer, bool hashingOn,
                             std::streambuf* copyBuffer)
    : source_(sourceBuffer), copy_(copyBuffer), hashing_(hashingOn) {}

void PartStreambuf::closeDigest() {
    hasher_.digest(digest_);
    digestTaken_ = true;
}

bool PartStreambuf::takeDigest(uint8_t out[SHA1::kDigestSize]) {
    if (!hashing_) return false;
    closeDigest();
    std::copy(digest_, digest_ + SHA1::kDigestSize, out);
    return true;
}

bool PartStreambuf::readUnhashed(uint8_t* out, uint32_t n) {
    if (remaining_ < n) return false;
    // Straight from the source, past the hash; the copy still gets them.
    if (source_->sgetn(reinterpret_cast<char*>(out), n) != static_cast<std::streamsize>(n))
        return false;
    if (copy_ != nullptr) copy_->sputn(reinterpret_cast<const char*>(out), n);
    remaining_ -= n;
    return true;
}

void PartStreambuf::consumed(const char* s, std::streamsize n) {
    if (n <= 0) return;
    if (copy_ != nullptr) copy_->sputn(s, n);
    if (hashing_) hasher_.update(s, static_cast<size_t>(n));
}

std::streamsize PartStreambuf::rawRead(char* s, std::streamsize n) {
    if (source_ == nullptr || n <= 0) return 0;
    std::streamsize got = source_->sgetn(s, n);
    if (got <= 0) return 0;
    // Bytes put back earlier were hashed and copied when first read.
    std::streamsize again = std::min<std::streamsize>(putbackCount_, got);
    putbackCount_ -= static_cast<uint32_t>(again);
    consumed(s + again, got - again);
    return got;
}

uint32_t PartStreambuf::skip(uint32_t n) {
    char scratch[kSkipChunkSize];
    uint32_t done = 0;
    while (done < n) {
        // Compared as uint32_t: a 32-bit streamsize reads n - done above 2 GiB as negative.
        std::streamsize want = static_cast<std::streamsize>(
            std::min<uint32_t>(static_cast<uint32_t>(kSkipChunkSize), n - done));
        std::streamsize got = rawRead(scratch, want);
        done += static_cast<uint32_t>(got);
        if (got < want) break;
    }
    return done;
}

int32_t PartStreambuf::nextPart() {
    if (source_ == nullptr) return -1;
    if (remaining_ != 0) {
        bool passed = false;
        if (!hashing_ && copy_ == nullptr) {
            // Nothing needs to see the bytes: let the source jump over them.
            passed = source_->pubseekoff(remaining_, std::ios_base::cur, std::ios_base::in) !=
                     kSeekFailed;
        }
        if (!passed && skip(remaining_) < remaining_) {
            remaining_ = 0;
            return -1;
        }
        remaining_ = 0;
    }
    partStart_ += partLength_;
    partLength_ = 0;

    uint8_t header[kPartHeaderSize];
    if (source_->sgetn(reinterpret_cast<char*>(header), kPartHeaderSize) <
        static_cast<std::streamsize>(kPartHeaderSize)) {
        closeDigest();
        return -1;
    }
    if (copy_ != nullptr) copy_->sputn(reinterpret_cast<const char*>(header), kPartHeaderSize);
    uint16_t type = load16le(header);
    if (hashing_) {
        // A package header starts a new signed message; the digest of the previous
        // one stays available to whoever verifies it.
        if (type == kPartHeader) closeDigest();
        hasher_.update(header, kPartHeaderSize);
    }
    partStart_ += kPartHeaderSize;
    partLength_ = load32le(header + kPartLengthOffset);
    remaining_ = partLength_;
    return type;
}

std::streamsize PartStreambuf::showmanyc() {
    if (source_ == nullptr) return -1;
    std::streamsize available = source_->in_avail();
    // In 64 bits: remaining may not fit a 32-bit streamsize, the smaller value does.
    return static_cast<std::streamsize>(std::min<int64_t>(available, remaining_));
}

std::streamsize PartStreambuf::xsgetn(char_type* s, std::streamsize n) {
    if (remaining_ == 0 || n <= 0) return 0;
    std::streamsize got =
        rawRead(s, static_cast<std::streamsize>(std::min<int64_t>(n, remaining_)));
    remaining_ -= static_cast<uint32_t>(got);
    return got;
}

PartStreambuf::int_type PartStreambuf::underflow() {
    if (remaining_ == 0 || source_ == nullptr) return traits_type::eof();
    return source_->sgetc();
}

PartStreambuf::int_type PartStreambuf::uflow() {
    if (remaining_ == 0 || source_ == nullptr) return traits_type::eof();
    int_type c = source_->sbumpc();
    if (traits_type::eq_int_type(c, traits_type::eof())) return c;
    --remaining_;
    if (putbackCount_ != 0) {
        --putbackCount_;
    } else {
        char byte = traits_type::to_char_type(c);
        consumed(&byte, 1);
    }
    return c;
}

PartStreambuf::int_type PartStreambuf::pbackfail(int_type c) {
    if (source_ == nullptr || remaining_ == partLength_) return traits_type::eof();
    int_type result = traits_type::eq_int_type(c, traits_type::eof())
                          ? source_->sungetc()
                          : source_->sputbackc(traits_type::to_char_type(c));
    if (traits_type::eq_int_type(result, traits_type::eof())) return result;
    // The byte has been hashed and copied already; reading it again must not
    // count it twice. Counted only once the source took it back, so that a refused
    // put-back cannot leave a byte unhashed.
    if (hashing_ || copy_ != nullptr) ++putbackCount_;
    ++remaining_;
    return result;
}

PartStreambuf::pos_type PartStreambuf::seekpos(pos_type pos, std::ios_base::openmode) {
    off_type target = off_type(pos);
    if (source_ == nullptr || target < 0 || target > off_type(partLength_)) return kSeekFailed;
    uint32_t targetRemaining = partLength_ - static_cast<uint32_t>(target);
    if (targetRemaining == remaining_) return pos;
    if (!hashing_ && copy_ == nullptr) {
        pos_type absolute = pos_type(off_type(partStart_) + target);
        if (source_->pubseekpos(absolute, std::ios_base::in) != kSeekFailed) {
            remaining_ = targetRemaining;
            return pos;
        }
    }
    // Bytes already hashed or copied cannot be taken back: only forward.
    if (targetRemaining > remaining_) return kSeekFailed;
    uint32_t distance = remaining_ - targetRemaining;
    if (skip(distance) < distance) return kSeekFailed;
    remaining_ = targetRemaining;
    return pos;
}

PartStreambuf::pos_type PartStreambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                               std::ios_base::openmode which) {
    switch (dir) {
        case std::ios_base::beg:
            return seekpos(pos_type(off), which);
        case std::ios_base::end:
            // A positive offset counts back from the end of the payload.
            return seekpos(pos_type(off_type(partLength_) - off), which);
        case std::ios_base::cur:
            return seekpos(pos_type(off_type(partLength_) - off_type(remaining_) + off), which);
        default:
            return kSeekFailed;
    }
}

PartReader::PartReader(std::istream& source, bool hashing, std::streambuf* copy)
    : std::istream(nullptr), buffer_(source.rdbuf(), hashing, copy) {
    rdbuf(&buffer_);
    uint8_t header[kFileHeaderSize];
    if (buffer_.source_ != nullptr &&
        buffer_.source_->sgetn(reinterpret_cast<char*>(header), kFileHeaderSize) ==
            static_cast<std::streamsize>(kFileHeaderSize)) {
        // The file header is outside every signed message, but a copy of the
        // package must be whole.
        if (copy != nullptr) copy->sputn(reinterpret_cast<const char*>(header), kFileHeaderSize);
        buffer_.partStart_ += kFileHeaderSize;
        magic = load32le(header);
        expectedSize =
            load32le(header + kFileLengthOffset) + static_cast<uint32_t>(kFileHeaderSize);
    } else {
        magic = kMagicUnreadable;
    }
    if (magic != kMagicRegular && magic != kMagicUnrecorded) setstate(std::ios_base::badbit);
}

PartReader::~PartReader() = default;

int32_t PartReader::nextPart() {
    if (fail()) {
        currentType = -1;
        return -1;
    }
    clear(rdstate() & ~std::ios_base::eofbit);
    for (;;) {
        currentType = buffer_.nextPart();
        if (currentType == -1) {
            setstate(std::ios_base::eofbit | std::ios_base::failbit);
            return -1;
        }
        if (std::find(acceptedTypes.begin(), acceptedTypes.end(),
                      static_cast<uint32_t>(currentType)) != acceptedTypes.end()) {
            return currentType;
        }
    }
}
