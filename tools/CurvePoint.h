#pragma once
// Straightforward affine arithmetic on Curve25519 in Montgomery form
// (v^2 = u^3 + 486662 u^2 + u over p = 2^255 - 19) with OpenSSL big numbers. It
// shares nothing with the installer's field code, so the signer and the tests
// check that code rather than repeat it. Points passed in must lie on the curve.
#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstddef>
#include <cstdint>

#include "tools/BigNum.h"

namespace curve {

constexpr size_t kEncodingSize = 32;

struct Point {
    bool neutral = true;  // the point at infinity; u and v unused
    BigNum u;
    BigNum v;
};

class Curve {
public:
    Curve();
    ~Curve();
    Curve(const Curve&) = delete;
    Curve& operator=(const Curve&) = delete;

    const BigNum& prime() const { return p_; }
    // The order of the base point, a prime slightly above 2^252.
    const BigNum& order() const { return order_; }

    // (u, v) with v the square root of u^3 + A u^2 + u whose canonical value is
    // even (sign = 0) or odd (sign = 1). False when u is not on the curve.
    bool lift(const BigNum& u, int sign, Point& out) const;
    // u = 9 lifted with the even root.
    Point base() const;

    Point negate(const Point& a) const;
    Point add(const Point& a, const Point& b) const;
    // [n] a for n >= 0. OpenSSL's generic prime-curve code does the work on the
    // short Weierstrass form of the curve (x = u + A/3), which is much faster
    // than affine double-and-add and no less independent of the installer.
    Point multiply(const BigNum& n, const Point& a) const;

    // u as 32 bytes little-endian; the neutral element as 32 zero bytes.
    void encode(const Point& a, uint8_t out[kEncodingSize]) const;

    // Modular helpers over p.
    BigNum modAdd(const BigNum& a, const BigNum& b) const;
    BigNum modSub(const BigNum& a, const BigNum& b) const;
    BigNum modMul(const BigNum& a, const BigNum& b) const;
    BigNum modInverse(const BigNum& a) const;

private:
    BigNum p_;
    BigNum a_;
    BigNum order_;
    BigNum aThird_;  // A / 3 modulo p
    BN_CTX* ctx_;
    EC_GROUP* weierstrass_;
};

}  // namespace curve
