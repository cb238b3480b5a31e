#pragma once
// Reads a package file or stream one typed part at a time, hashing what it
// consumes for the signature check and optionally copying it to a second buffer.
// It holds no buffer of its own, so a package is never held in memory.
#include <cstdint>
#include <istream>
#include <streambuf>
#include <vector>

#include "package/PackageFormat.h"
#include "platform/Sha1.h"

constexpr size_t kSkipChunkSize = 16384;

class PartStreambuf : public std::streambuf {
public:
    PartStreambuf(std::streambuf* source, bool hashing, std::streambuf* copy);

    // Moves past the rest of the current part and reads the next part header;
    // returns its type, or -1 at the end of the data.
    int32_t nextPart();
    // Reads and discards up to n bytes (hashed and copied as consumed); returns
    // how many were read.
    uint32_t skip(uint32_t n);

    // Takes the digest of everything hashed so far (the message a signature
    // part signs) into out and keeps it as lastDigest(); false, taking nothing,
    // when the reader does not hash.
    bool takeDigest(uint8_t out[SHA1::kDigestSize]);
    // Reads n bytes of the current part straight from the source, unhashed but
    // copied; false when the part or the source holds fewer.
    bool readUnhashed(uint8_t* out, uint32_t n);

    uint32_t partStart() const { return partStart_; }
    uint32_t partLength() const { return partLength_; }
    // Bytes of the current part not read yet.
    uint32_t remaining() const { return remaining_; }
    std::streambuf* copyTarget() const { return copy_; }
    bool digestTaken() const { return digestTaken_; }
    const uint8_t* lastDigest() const { return digest_; }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;

private:
    // Reads from the source, hashing and copying all but re-read put-back bytes.
    std::streamsize rawRead(char* s, std::streamsize n);
    void closeDigest();
    void consumed(const char* s, std::streamsize n);

    friend class PartReader;
    std::streambuf* source_;
    uint32_t partStart_ = 0;
    uint32_t partLength_ = 0;
    uint32_t remaining_ = 0;
    std::streambuf* copy_;
    SHA1 hasher_;
    bool hashing_;
    bool digestTaken_ = false;
    uint32_t putbackCount_ = 0;
    uint8_t digest_[SHA1::kDigestSize] = {};
};

class PartReader : public std::istream {
public:
    // Takes the source's stream buffer and reads the file header at once. The
    // source is neither closed nor destroyed with the reader.
    PartReader(std::istream& source, bool hashing, std::streambuf* copy);
    ~PartReader() override;

    // The part types the user wants to see, in the user's order.
    std::vector<uint32_t> acceptedTypes;
    int32_t currentType = 0;
    uint32_t magic = kMagicUnreadable;
    // file header length + 8: the whole file's size; 0 when unreadable
    uint32_t expectedSize = 0;

    int32_t nextPart();
    uint32_t partLength() const { return buffer_.partLength_; }
    uint32_t partOffset() const { return buffer_.partStart_; }
    bool isUnrecorded() const { return magic == kMagicUnrecorded; }
    PartStreambuf& partBuffer() { return buffer_; }

private:
    PartStreambuf buffer_;
};
