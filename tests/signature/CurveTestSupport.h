#pragma once
// Helpers shared by the signature tests: random bytes, scalars and the slow
// big-number curve of the tools as an oracle independent of the installer's
// field code.
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>

#include "tools/BigNum.h"

namespace sigtest {

inline std::string randomBytes(std::mt19937_64& rng, size_t n) {
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(rng() & 0xFF);
    return out;
}

inline const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

inline std::string bytesOf(const curve::BigNum& n, size_t size = 32) {
    std::string out(size, '\0');
    n.toLittleEndian(reinterpret_cast<uint8_t*>(&out[0]), size);
    return out;
}

inline curve::BigNum numberOf(const std::string& s) {
    return curve::BigNum::fromLittleEndian(bytes(s), s.size());
}

// A scalar as clamping leaves it: bits 0-2 and 255 clear, bit 254 set.
inline std::string clamped(std::string e) {
    e[0] = static_cast<char>(e[0] & 0xF8);
    e[31] = static_cast<char>((e[31] & 0x7F) | 0x40);
    return e;
}

// X25519(scalar, 9) by OpenSSL: the public key of the scalar as private key.
inline std::string x25519Base(const std::string& scalar) {
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, bytes(scalar), 32);
    std::string out(32, '\0');
    size_t length = out.size();
    EVP_PKEY_get_raw_public_key(key, reinterpret_cast<uint8_t*>(&out[0]), &length);
    EVP_PKEY_free(key);
    return out;
}

inline std::string hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace sigtest
