#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <random>
#include <string>

#include "CurveTestSupport.h"
#include "signature/DoubleScalarChain.h"
#include "tools/CurvePoint.h"
#include "tools/Signer.h"

namespace {

using curve::BigNum;

class ChainTest : public ::testing::Test {
protected:
    curve::Curve curve;
    std::mt19937_64 rng{99};

    static std::string chain(const std::string& key, const std::string& s, const std::string& e) {
        std::string out(kCurveEncodingSize, '\0');
        doubleScalarMultiple(reinterpret_cast<uint8_t*>(&out[0]), sigtest::bytes(key),
                             sigtest::bytes(s), sigtest::bytes(e));
        return out;
    }

    // [s]A + [e]B by affine arithmetic, A lifted with the root of the given sign.
    std::string slow(const std::string& key, const std::string& s, const std::string& e,
                     int sign) const {
        curve::Point a;
        if (!curve.lift(sigtest::numberOf(key), sign, a)) return "not on curve";
        const curve::Point w = curve.add(curve.multiply(sigtest::numberOf(s), a),
                                         curve.multiply(sigtest::numberOf(e), curve.base()));
        uint8_t out[curve::kEncodingSize];
        curve.encode(w, out);
        return std::string(reinterpret_cast<const char*>(out), sizeof out);
    }

    std::string randomKey() { return pkgsign::publicKeyFor(pkgsign::generateSecretKey()); }
};

TEST_F(ChainTest, WithZeroSItIsX25519OfE) {
    const std::string zero(32, '\0');
    for (int i = 0; i < 8; ++i) {
        const std::string e = sigtest::clamped(sigtest::randomBytes(rng, 32));
        // With s = 0 the key takes no part in the result, not even a key of u = 0.
        const std::string key = i == 0 ? zero : randomKey();
        EXPECT_EQ(sigtest::hex(chain(key, zero, e)), sigtest::hex(sigtest::x25519Base(e))) << i;
    }
}

TEST_F(ChainTest, MatchesAffineArithmeticForRandomScalars) {
    for (int i = 0; i < 12; ++i) {
        const std::string key = randomKey();
        const std::string s = sigtest::randomBytes(rng, 32);  // all 256 bits in play
        const std::string e = sigtest::clamped(sigtest::randomBytes(rng, 32));
        const std::string result = chain(key, s, e);
        EXPECT_EQ(sigtest::hex(result), sigtest::hex(slow(key, s, e, 0))) << i;
        // The chain is tied to the even root: with the odd one the sum differs.
        EXPECT_NE(result, slow(key, s, e, 1)) << i;
    }
}

TEST_F(ChainTest, SmallAndStructuredScalars) {
    const std::string key = randomKey();
    const std::string e = sigtest::clamped(sigtest::randomBytes(rng, 32));
    std::string s(32, '\0');
    for (int value : {1, 2, 3, 255}) {
        s[0] = static_cast<char>(value);
        EXPECT_EQ(chain(key, s, e), slow(key, s, e, 0)) << value;
    }
    std::string top(32, '\0');
    top[31] = '\x80';  // only bit 255
    EXPECT_EQ(chain(key, top, e), slow(key, top, e, 0));
    const std::string ones(32, '\xff');
    EXPECT_EQ(chain(key, ones, e), slow(key, ones, e, 0));
}

TEST_F(ChainTest, KeyBit255IsPartOfTheKey) {
    // A key byte string for u + p (bit 255 set) names the same field value as u.
    const std::string key = randomKey();
    BigNum shifted;
    BN_add(shifted.get(), sigtest::numberOf(key).get(), curve.prime().get());
    const std::string wideKey = sigtest::bytesOf(shifted);
    ASSERT_TRUE(static_cast<uint8_t>(wideKey[31]) & 0x80);
    const std::string s = sigtest::randomBytes(rng, 32);
    const std::string e = sigtest::clamped(sigtest::randomBytes(rng, 32));
    EXPECT_EQ(chain(wideKey, s, e), chain(key, s, e));
}

TEST_F(ChainTest, NeutralResultEncodesAsZero) {
    // Choose s so that s a + e = 0 modulo the order: the sum is the neutral point.
    const std::string secret = pkgsign::generateSecretKey();
    const std::string key = pkgsign::publicKeyFor(secret);
    curve::Point a;
    ASSERT_TRUE(curve.lift(sigtest::numberOf(key), 0, a));
    const curve::Point aPlain = curve.multiply(sigtest::numberOf(secret), curve.base());
    BN_CTX* ctx = BN_CTX_new();
    BigNum scalar = sigtest::numberOf(secret);
    if (a.v != aPlain.v) BN_sub(scalar.get(), curve.order().get(), scalar.get());
    const std::string e = sigtest::clamped(sigtest::randomBytes(rng, 32));
    BigNum inverse, s;
    BN_mod_inverse(inverse.get(), scalar.get(), curve.order().get(), ctx);
    BN_mod_mul(s.get(), sigtest::numberOf(e).get(), inverse.get(), curve.order().get(), ctx);
    BN_mod_sub(s.get(), BigNum(0).get(), s.get(), curve.order().get(), ctx);
    BN_CTX_free(ctx);
    EXPECT_EQ(chain(key, sigtest::bytesOf(s), e), std::string(32, '\0'));
}

}  // namespace
