#pragma once
// SHA-1 over OpenSSL's libcrypto.
#include <cstddef>
#include <cstdint>

class SHA1 {
public:
    static constexpr size_t kDigestSize = 20;

    SHA1();
    void update(const void* data, size_t length);
    // Finishes the running hash, writes the digest and leaves the hash ready for
    // a new message.
    void digest(uint8_t* out);

private:
    // Storage for libcrypto's SHA_CTX, kept opaque so that this header does not
    // pull in libcrypto's function of the same name as this class.
    alignas(8) unsigned char context_[128];
};
