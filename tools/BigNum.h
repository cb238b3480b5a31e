#pragma once
// A copyable owner of an OpenSSL BIGNUM, for the signer's slow curve arithmetic.
#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>

namespace curve {

class BigNum {
public:
    BigNum();
    explicit BigNum(unsigned long value);
    BigNum(const BigNum& other);
    BigNum(BigNum&& other) noexcept;
    BigNum& operator=(BigNum other) noexcept;
    ~BigNum();

    // size bytes, least significant first.
    static BigNum fromLittleEndian(const uint8_t* bytes, size_t size);
    static BigNum fromHex(const char* hex);
    // The value modulo 2^(8 size), least significant byte first.
    void toLittleEndian(uint8_t* out, size_t size) const;

    BIGNUM* get() const { return bn_; }
    bool isZero() const { return BN_is_zero(bn_); }
    bool isOdd() const { return BN_is_odd(bn_); }
    bool operator==(const BigNum& other) const { return BN_cmp(bn_, other.bn_) == 0; }
    bool operator!=(const BigNum& other) const { return !(*this == other); }

private:
    BIGNUM* bn_;
};

}  // namespace curve
