// The field, curve and hash code of the signature check against OpenSSL (big
// numbers, elliptic curves through tools/CurvePoint, SHA-256), which shares
// nothing with it.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "signature/DoubleScalarChain.h"
#include "signature/SignatureHash.h"
#include "tools/CurvePoint.h"
#include "tools/Signer.h"

namespace {

using curve::BigNum;
using Bytes = std::string;

class SignatureMath : public ::testing::Test {
protected:
    ~SignatureMath() override { BN_CTX_free(ctx); }

    static const uint8_t* in(const Bytes& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
    static uint8_t* out(Bytes& s) { return reinterpret_cast<uint8_t*>(&s[0]); }
    static BigNum numberOf(const Bytes& s) { return BigNum::fromLittleEndian(in(s), s.size()); }
    static Bytes bytesOf(const BigNum& n) {
        Bytes b(32, 0);
        n.toLittleEndian(out(b), 32);
        return b;
    }
    Bytes random(size_t n = 32) {
        Bytes b(n, 0);
        for (auto& c : b) c = char(rng());
        return b;
    }
    static FieldElement decode(const Bytes& b) {
        FieldElement f;
        fieldFromBytes(f, in(b));
        return f;
    }
    static Bytes encode(const FieldElement& f) {
        Bytes b(32, 0);
        fieldToBytes(out(b), f);
        return b;
    }
    static FieldElement carried(FieldElement f) {
        fieldMulSmall(f, f, 1);
        return f;
    }
    // The exact signed integer the limbs stand for, not reduced.
    static BigNum valueOf(const FieldElement& f) {
        static constexpr int kOffsets[kFieldLimbCount] = {0,   26,  51,  77,  102,
                                                          128, 153, 179, 204, 230};
        BigNum sum(0);
        for (size_t i = 0; i < kFieldLimbCount; ++i) {
            BigNum term(static_cast<unsigned long>(std::labs(f.limb[i])));
            BN_lshift(term.get(), term.get(), kOffsets[i]);
            (f.limb[i] < 0 ? BN_sub : BN_add)(sum.get(), sum.get(), term.get());
        }
        return sum;
    }
    // What fieldToBytes must write for (a b)^power: the residue in [0, p).
    Bytes canonical(const BigNum& a, const BigNum& b = BigNum(1), const BigNum& power = {}) {
        BigNum r;
        BN_mul(r.get(), a.get(), b.get(), ctx);
        BN_nnmod(r.get(), r.get(), curve.prime().get(), ctx);
        if (!BN_is_zero(power.get()))
            BN_mod_exp(r.get(), r.get(), power.get(), curve.prime().get(), ctx);
        return bytesOf(r);
    }

    curve::Curve curve;
    std::mt19937_64 rng{2024};
    BN_CTX* ctx = BN_CTX_new();
};

class FieldArithmetic : public SignatureMath {};

void expectCarried(const FieldElement& f) {
    for (size_t i = 0; i < 9; ++i)
        EXPECT_TRUE(f.limb[i] >= 0 && f.limb[i] <= (i % 2 ? 0x1ffffff : 0x3ffffff)) << i;
    EXPECT_TRUE(f.limb[9] > -(1 << 12) && f.limb[9] < 0x1ffffff + (1 << 12));
}

TEST_F(FieldArithmetic, OperationsAgreeWithBigNumbers) {
    // Carried, raw 256-bit, and loose sums, differences and triple sums (as the
    // chord rule forms them), plus the widest limbs in both directions.
    FieldElement top, zero, topSum, topNeg, topTriple;
    for (size_t i = 0; i < kFieldLimbCount; ++i) top.limb[i] = i % 2 ? 0x1ffffff : 0x3ffffff;
    top.limb[9] = 0x2000000;
    fieldSet(zero, 0);
    fieldAdd(topSum, top, top);
    fieldSub(topNeg, zero, top);
    fieldAdd(topTriple, topSum, top);
    std::vector<FieldElement> inputs = {top, topSum, topNeg, topTriple, decode(Bytes(32, '\xff'))};
    for (int i = 0; i < 30; ++i) {
        FieldElement a = carried(decode(random())), b = carried(decode(random())), sum, diff, tri;
        fieldAdd(sum, a, b);
        fieldSub(diff, a, b);
        fieldAdd(tri, sum, a);
        inputs.insert(inputs.end(), {a, sum, diff, tri, decode(random())});
    }
    // p - 2 and (p - 5) / 8 = 2^252 - 3
    const BigNum inverse = numberOf('\xeb' + bytesOf(curve.prime()).substr(1));
    const BigNum root = numberOf('\xfd' + Bytes(30, '\xff') + '\x0f');
    for (size_t i = 0; i < inputs.size(); ++i) {
        const FieldElement& a = inputs[i];
        const FieldElement& b = inputs[(i * 7 + 3) % inputs.size()];
        FieldElement product, square, inverted, rooted;
        fieldMul(product, a, b);
        fieldSquare(square, a);
        fieldPow(inverted, a, kFieldPowInverse);
        fieldPow(rooted, a, kFieldPowRoot);
        for (const FieldElement* f : {&product, &square, &inverted, &rooted}) expectCarried(*f);
        ASSERT_EQ(encode(product), canonical(valueOf(a), valueOf(b))) << i;
        ASSERT_EQ(encode(square), canonical(valueOf(a), valueOf(a))) << i;
        ASSERT_EQ(encode(inverted), canonical(valueOf(a), BigNum(1), inverse)) << i;
        ASSERT_EQ(encode(rooted), canonical(valueOf(a), BigNum(1), root)) << i;
        const int32_t someK = static_cast<int32_t>(rng() % (1 << 24)) - (1 << 23);
        for (int32_t k : {1, 121665, 486662, -1, someK}) {
            FieldElement scaled = a;
            fieldMulSmall(scaled, scaled, k);  // in place is allowed
            expectCarried(scaled);
            BigNum factor(static_cast<unsigned long>(std::labs(k)));
            BN_set_negative(factor.get(), k < 0);
            ASSERT_EQ(encode(scaled), canonical(valueOf(a), factor)) << i << " k=" << k;
        }
    }
    FieldElement inverted;  // 0 has no inverse and stays 0
    fieldPow(inverted, zero, kFieldPowInverse);
    EXPECT_EQ(encode(inverted), Bytes(32, '\0'));
}

TEST_F(FieldArithmetic, DecodingKeepsAll256BitsAndEncodingIsCanonical) {
    const Bytes p = bytesOf(curve.prime());  // ed ff .. ff 7f
    std::vector<Bytes> raw = {p, '\xec' + p.substr(1), Bytes(31, '\xff') + '\x7f',
                              Bytes(32, '\xff')};
    // 2^256 - 1 carried, and 2^255 as limb 9 one above its width
    std::vector<FieldElement> inputs = {carried(decode(raw.back())),
                                        decode(Bytes(31, '\0') + '\x80')};
    for (int i = 0; i < 20; ++i) {
        raw.push_back(random());
        if (i % 2) raw.back()[31] = static_cast<char>(raw.back()[31] | 0x80);
        FieldElement f = carried(decode(raw.back()));
        inputs.push_back(f);
        f.limb[9] = -1;  // a carried element standing for a negative integer
        inputs.push_back(f);
    }
    FieldElement minusOne;  // every limb at its widest over a top limb of -1
    for (int i = 0; i < 9; ++i) minusOne.limb[i] = i % 2 ? 0x1ffffff : 0x3ffffff;
    minusOne.limb[9] = -1;
    inputs.push_back(minusOne);
    for (const Bytes& b : raw) {
        EXPECT_TRUE(valueOf(decode(b)) == numberOf(b));
        if (!(b[31] & 0x80)) inputs.push_back(decode(b));
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        const BigNum value = valueOf(inputs[i]);
        EXPECT_EQ(encode(inputs[i]), canonical(value)) << i;
        EXPECT_EQ(fieldIsAtLeastP(inputs[i]), BN_cmp(value.get(), curve.prime().get()) >= 0) << i;
    }
}

// u([s]A + [e]B) by the installer's chain, and by affine arithmetic with A
// lifted with the root of the given sign.
class DoubleScalarChain : public SignatureMath {
protected:
    static Bytes chain(const Bytes& key, const Bytes& s, const Bytes& e) {
        Bytes b(kCurveEncodingSize, '\0');
        doubleScalarMultiple(out(b), in(key), in(s), in(e));
        return b;
    }
    Bytes slow(const Bytes& key, const Bytes& s, const Bytes& e, int sign = 0) const {
        curve::Point a;
        if (!curve.lift(numberOf(key), sign, a)) return "not on curve";
        const curve::Point w =
            curve.add(curve.multiply(numberOf(s), a), curve.multiply(numberOf(e), curve.base()));
        Bytes b(curve::kEncodingSize, '\0');
        curve.encode(w, out(b));
        return b;
    }
    static Bytes randomKey() { return pkgsign::publicKeyFor(pkgsign::generateSecretKey()); }
    // The chain takes e with bit 255 clear, as clamping leaves it.
    Bytes randomE() { return random().substr(0, 31) + char(rng() & 0x7F); }
};

TEST_F(DoubleScalarChain, MatchesAffineArithmetic) {
    std::vector<Bytes> scalars = {Bytes(32, '\xff'), Bytes(31, '\0') + '\x80'};
    for (char small : {1, 2, 3, -1}) scalars.push_back(small + Bytes(31, '\0'));
    for (int i = 0; i < 10; ++i) scalars.push_back(random());  // all 256 bits in play
    for (const Bytes& s : scalars) {
        const Bytes key = randomKey(), e = randomE(), result = chain(key, s, e);
        EXPECT_EQ(result, slow(key, s, e));
        // The chain is tied to the even root: with the odd one the sum differs.
        EXPECT_NE(result, slow(key, s, e, 1));
        // A key for u + p (bit 255 set) names the same field value as u.
        BigNum wide;
        BN_add(wide.get(), numberOf(key).get(), curve.prime().get());
        ASSERT_TRUE(bytesOf(wide)[31] & 0x80);
        EXPECT_EQ(chain(bytesOf(wide), s, e), result);
    }
    // With s = 0 the key takes no part, not even a key of u = 0.
    const Bytes zero(32, '\0'), e = randomE();
    EXPECT_EQ(chain(zero, zero, e), slow(randomKey(), zero, e));
}

// SHA-256's own tables (FIPS 180-4). The system's own are guarded by the
// signature made by an earlier build (SignatureVerifierTest).
const SignatureHashTables kSha256Tables = {
    {0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
     0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
     0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
     0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
     0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
     0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
     0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
     0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
     0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
     0xc67178f2},
    {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
     0x5be0cd19},
};

TEST_F(SignatureMath, HashIsSha256WithOtherTables) {
    // Every length across the padding's edges (55, 56, 63, 64, 119, 120).
    for (size_t length = 0; length <= 200; ++length) {
        const Bytes data = random(length);
        Bytes expected(SHA256_DIGEST_LENGTH, '\0'), got(kSignatureHashSize, '\0');
        SHA256(in(data), data.size(), out(expected));
        SignatureHash::computeWith(kSha256Tables, in(data), data.size(), out(got));
        ASSERT_EQ(got, expected) << "length " << length;
    }
}

}  // namespace
