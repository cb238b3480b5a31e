#include "tools/Signer.h"

#include <openssl/bn.h>
#include <openssl/rand.h>

#include <memory>

#include "DevelopmentSigningKey.h"
#include "signature/SignatureHash.h"
#include "signature/SignatureVerifier.h"
#include "tools/CurvePoint.h"

namespace pkgsign {

namespace {

using curve::BigNum;

constexpr size_t kDigestSize = SignatureVerifier::kDigestSize;
constexpr size_t kRSize = SignatureVerifier::kRSize;
// Twice the scalar size: reducing modulo the group order then leaves no bias.
constexpr size_t kRandomBytes = 64;

const uint8_t* bytesOf(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// A uniformly random scalar in [1, order), or zero when the generator fails.
BigNum randomScalar(const curve::Curve& curve, BN_CTX* ctx) {
    for (;;) {
        uint8_t bytes[kRandomBytes];
        if (RAND_bytes(bytes, sizeof bytes) != 1) return BigNum(0);
        BigNum value = BigNum::fromLittleEndian(bytes, sizeof bytes);
        BN_nnmod(value.get(), value.get(), curve.order().get(), ctx);
        if (!value.isZero()) return value;
    }
}

// The secret as a scalar modulo the group order; zero for a malformed secret.
BigNum secretScalar(const curve::Curve& curve, const std::string& secretKey, BN_CTX* ctx) {
    if (secretKey.size() != kSecretKeySize) return BigNum(0);
    BigNum a = BigNum::fromLittleEndian(bytesOf(secretKey), kSecretKeySize);
    BN_nnmod(a.get(), a.get(), curve.order().get(), ctx);
    return a;
}

std::string toBytes(const BigNum& value, size_t size) {
    std::string out(size, '\0');
    value.toLittleEndian(reinterpret_cast<uint8_t*>(&out[0]), size);
    return out;
}

struct CtxFree {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};

}  // namespace

std::string generateSecretKey() {
    curve::Curve curve;
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    const BigNum a = randomScalar(curve, ctx.get());
    if (a.isZero()) return std::string();
    return toBytes(a, kSecretKeySize);
}

std::string publicKeyFor(const std::string& secretKey) {
    curve::Curve curve;
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    const BigNum a = secretScalar(curve, secretKey, ctx.get());
    if (a.isZero()) return std::string();
    uint8_t encoded[curve::kEncodingSize];
    curve.encode(curve.multiply(a, curve.base()), encoded);
    return std::string(reinterpret_cast<const char*>(encoded), sizeof encoded);
}

std::string signDigest(const std::string& secretKey, const uint8_t digest[20]) {
    curve::Curve curve;
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    BigNum a = secretScalar(curve, secretKey, ctx.get());
    if (a.isZero()) return std::string();

    // The installer knows only u([a]B) and lifts it with the even root, so the
    // key it works with is [a]B or -[a]B; sign for the one it will see.
    const curve::Point publicPoint = curve.multiply(a, curve.base());
    if (publicPoint.v.isOdd()) BN_sub(a.get(), curve.order().get(), a.get());

    // W = [k]B, r = the head of the hash of u(W).
    const BigNum k = randomScalar(curve, ctx.get());
    if (k.isZero()) return std::string();
    uint8_t encoded[curve::kEncodingSize];
    curve.encode(curve.multiply(k, curve.base()), encoded);
    uint8_t h[kSignatureHashSize];
    SignatureHash::compute(encoded, sizeof encoded, h);
    const uint8_t* r = h;

    // The installer checks [s]A + [e]B = W, i.e. s a + e = k modulo the order.
    uint8_t eBytes[kCurveScalarSize];
    SignatureVerifier::formChallenge(eBytes, digest, r);
    const BigNum e = BigNum::fromLittleEndian(eBytes, sizeof eBytes);
    BigNum aInverse, difference, s;
    BN_mod_inverse(aInverse.get(), a.get(), curve.order().get(), ctx.get());
    BN_mod_sub(difference.get(), k.get(), e.get(), curve.order().get(), ctx.get());
    BN_mod_mul(s.get(), difference.get(), aInverse.get(), curve.order().get(), ctx.get());

    std::string payload(reinterpret_cast<const char*>(digest), kDigestSize);
    payload.append(reinterpret_cast<const char*>(r), kRSize);
    payload += toBytes(s, kCurveScalarSize);
    return payload;
}

std::string developmentSecretKey() {
    return std::string(reinterpret_cast<const char*>(kDevelopmentSecretKey),
                       sizeof kDevelopmentSecretKey);
}

}  // namespace pkgsign
