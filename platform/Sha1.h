#pragma once
// The system crypto library offers SHA-1 as class SHA1 with base Hash; this is
// that interface over OpenSSL's libcrypto.
#include <cstddef>
#include <cstdint>


class Hash {
public:
    virtual ~Hash() = default;
    virtual void update(const void* data, size_t length) = 0;
    // Finishes the running hash, writes the digest and leaves the hash ready for
    // a new message.
    virtual void digest(uint8_t* out) = 0;
};

class SHA1 : public Hash {
public:
    static constexpr size_t kDigestSize = 20;

    SHA1();
    void update(const void* data, size_t length) override;
    void digest(uint8_t* out) override;

private:
    // Storage for libcrypto's SHA_CTX, kept opaque so that this header does not
    // pull in libcrypto's function of the same name as this class.
    alignas(8) unsigned char context_[128];
};
