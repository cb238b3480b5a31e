#include "tools/CurvePoint.h"

#include <openssl/err.h>

#include <new>

namespace curve {

Curve::Curve()
    : p_(BigNum::fromHex("7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed")),
      a_(486662),
      order_(BigNum::fromHex("1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed")),
      ctx_(BN_CTX_new()),
      weierstrass_(nullptr) {
    if (ctx_ == nullptr) throw std::bad_alloc();
    // v^2 = u^3 + A u^2 + u becomes y^2 = x^3 + a x + b with x = u + A/3, y = v,
    // a = (3 - A^2) / 3 and b = (2 A^3 - 9 A) / 27.
    aThird_ = modMul(a_, modInverse(BigNum(3)));
    const BigNum a = modSub(BigNum(1), modMul(a_, aThird_));
    const BigNum aCubed = modMul(modMul(a_, a_), a_);
    const BigNum b =
        modMul(modSub(modAdd(aCubed, aCubed), modMul(BigNum(9), a_)), modInverse(BigNum(27)));
    weierstrass_ = EC_GROUP_new_curve_GFp(p_.get(), a.get(), b.get(), ctx_);
    // OpenSSL's multiplication wants the group's order and cofactor (8).
    EC_POINT* generator = weierstrass_ ? EC_POINT_new(weierstrass_) : nullptr;
    const Point g = base();
    const bool ready =
        generator != nullptr &&
        EC_POINT_set_affine_coordinates(weierstrass_, generator, modAdd(g.u, aThird_).get(),
                                        g.v.get(), ctx_) == 1 &&
        EC_GROUP_set_generator(weierstrass_, generator, order_.get(), BigNum(8).get()) == 1;
    EC_POINT_free(generator);
    if (!ready) {
        EC_GROUP_free(weierstrass_);
        BN_CTX_free(ctx_);
        throw std::bad_alloc();
    }
}

Curve::~Curve() {
    EC_GROUP_free(weierstrass_);
    BN_CTX_free(ctx_);
}

BigNum Curve::modAdd(const BigNum& a, const BigNum& b) const {
    BigNum r;
    BN_mod_add(r.get(), a.get(), b.get(), p_.get(), ctx_);
    return r;
}

BigNum Curve::modSub(const BigNum& a, const BigNum& b) const {
    BigNum r;
    BN_mod_sub(r.get(), a.get(), b.get(), p_.get(), ctx_);
    return r;
}

BigNum Curve::modMul(const BigNum& a, const BigNum& b) const {
    BigNum r;
    BN_mod_mul(r.get(), a.get(), b.get(), p_.get(), ctx_);
    return r;
}

BigNum Curve::modInverse(const BigNum& a) const {
    BigNum r;
    BN_mod_inverse(r.get(), a.get(), p_.get(), ctx_);
    return r;
}

bool Curve::lift(const BigNum& u, int sign, Point& out) const {
    BigNum reduced;
    BN_nnmod(reduced.get(), u.get(), p_.get(), ctx_);
    // u^3 + A u^2 + u = ((u + A) u + 1) u
    const BigNum rhs = modMul(modAdd(modMul(modAdd(reduced, a_), reduced), BigNum(1)), reduced);
    BigNum root;
    if (BN_mod_sqrt(root.get(), rhs.get(), p_.get(), ctx_) == nullptr) {
        ERR_clear_error();  // "not a square" is an answer here, not an error
        return false;
    }
    if (modMul(root, root) != rhs) return false;
    if ((root.isOdd() ? 1 : 0) != sign) root = modSub(BigNum(0), root);
    out.neutral = false;
    out.u = reduced;
    out.v = root;
    return true;
}

Point Curve::base() const {
    Point b;
    lift(BigNum(9), 0, b);
    return b;
}

Point Curve::negate(const Point& a) const {
    Point r = a;
    if (!a.neutral) r.v = modSub(BigNum(0), a.v);
    return r;
}

Point Curve::add(const Point& a, const Point& b) const {
    if (a.neutral) return b;
    if (b.neutral) return a;
    BigNum slope;
    if (a.u == b.u) {
        if (modAdd(a.v, b.v).isZero()) return Point{};
        // tangent: (3u^2 + 2Au + 1) / 2v
        const BigNum u2 = modMul(a.u, a.u);
        BigNum numerator =
            modAdd(modAdd(modMul(BigNum(3), u2), modMul(modAdd(a_, a_), a.u)), BigNum(1));
        slope = modMul(numerator, modInverse(modAdd(a.v, a.v)));
    } else {
        slope = modMul(modSub(b.v, a.v), modInverse(modSub(b.u, a.u)));
    }
    Point r;
    r.neutral = false;
    r.u = modSub(modSub(modSub(modMul(slope, slope), a_), a.u), b.u);
    r.v = modSub(modMul(slope, modSub(a.u, r.u)), a.v);
    return r;
}

Point Curve::multiply(const BigNum& n, const Point& a) const {
    if (a.neutral || n.isZero()) return Point{};
    EC_POINT* in = EC_POINT_new(weierstrass_);
    EC_POINT* out = EC_POINT_new(weierstrass_);
    const BigNum x = modAdd(a.u, aThird_);
    Point r;
    if (in != nullptr && out != nullptr &&
        EC_POINT_set_affine_coordinates(weierstrass_, in, x.get(), a.v.get(), ctx_) == 1 &&
        EC_POINT_mul(weierstrass_, out, nullptr, in, n.get(), ctx_) == 1 &&
        EC_POINT_is_at_infinity(weierstrass_, out) == 0) {
        BigNum outX;
        EC_POINT_get_affine_coordinates(weierstrass_, out, outX.get(), r.v.get(), ctx_);
        r.neutral = false;
        r.u = modSub(outX, aThird_);
    }
    EC_POINT_free(in);
    EC_POINT_free(out);
    return r;
}

void Curve::encode(const Point& a, uint8_t out[kEncodingSize]) const {
    if (a.neutral) {
        BigNum(0).toLittleEndian(out, kEncodingSize);
    } else {
        a.u.toLittleEndian(out, kEncodingSize);
    }
}

}  // namespace curve
