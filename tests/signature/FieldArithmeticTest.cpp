#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "CurveTestSupport.h"
#include "signature/FieldArithmetic.h"
#include "tools/CurvePoint.h"

namespace {

using curve::BigNum;

constexpr int kOffsets[kFieldLimbCount] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

class FieldTest : public ::testing::Test {
protected:
    curve::Curve field;  // for its modular arithmetic over p
    std::mt19937_64 rng{2024};

    // The exact value of the limbs (any signs and widths) reduced modulo p.
    BigNum valueOf(const FieldElement& f) const {
        BigNum sum(0);
        for (size_t i = 0; i < kFieldLimbCount; ++i) {
            const long limb = f.limb[i];
            BigNum term(static_cast<unsigned long>(std::labs(limb)));
            BN_lshift(term.get(), term.get(), kOffsets[i]);
            BN_nnmod(term.get(), term.get(), field.prime().get(), ctx());
            sum = limb < 0 ? field.modSub(sum, term) : field.modAdd(sum, term);
        }
        return sum;
    }

    static std::string bytesOf(const FieldElement& f) {
        std::string out(kFieldByteSize, '\0');
        fieldToBytes(reinterpret_cast<uint8_t*>(&out[0]), f);
        return out;
    }

    // What fieldToBytes must write for a value: the canonical residue.
    std::string canonical(const BigNum& v) const {
        BigNum r;
        BN_nnmod(r.get(), v.get(), field.prime().get(), ctx());
        return sigtest::bytesOf(r);
    }

    static FieldElement fromBytes(const std::string& b) {
        FieldElement f;
        fieldFromBytes(f, sigtest::bytes(b));
        return f;
    }

    FieldElement randomCarried() {
        FieldElement raw = fromBytes(sigtest::randomBytes(rng, 32)), carried;
        fieldMulSmall(carried, raw, 1);
        return carried;
    }

    // Carried, raw 256-bit, and loose sums and differences (including a sum of
    // three, as the chord rule forms), plus extreme limbs in both directions.
    std::vector<FieldElement> inputs() {
        std::vector<FieldElement> out;
        FieldElement top;
        for (size_t i = 0; i < kFieldLimbCount; ++i) top.limb[i] = i % 2 ? 0x1ffffff : 0x3ffffff;
        top.limb[9] = 0x2000000;
        FieldElement zero, topSum, topNeg, topTriple;
        fieldSet(zero, 0);
        fieldAdd(topSum, top, top);
        fieldSub(topNeg, zero, top);
        fieldAdd(topTriple, topSum, top);
        out.insert(out.end(), {top, topSum, topNeg, topTriple, fromBytes(std::string(32, '\xff'))});
        for (int i = 0; i < 40; ++i) {
            FieldElement a = randomCarried(), b = randomCarried(), c = randomCarried(), sum, diff,
                         triple;
            fieldAdd(sum, a, b);
            fieldSub(diff, a, b);
            fieldAdd(triple, sum, c);
            out.insert(out.end(), {a, sum, diff, triple, fromBytes(sigtest::randomBytes(rng, 32))});
        }
        return out;
    }

    static void expectCarried(const FieldElement& f) {
        for (size_t i = 0; i < 9; ++i) {
            const int32_t width = i % 2 ? 0x1ffffff : 0x3ffffff;
            EXPECT_GE(f.limb[i], 0) << "limb " << i;
            EXPECT_LE(f.limb[i], width) << "limb " << i;
        }
        EXPECT_GT(f.limb[9], -(1 << 12));
        EXPECT_LT(f.limb[9], 0x1ffffff + (1 << 12));
    }

    BN_CTX* ctx() const { return ctx_; }

    void TearDown() override { BN_CTX_free(ctx_); }

private:
    BN_CTX* ctx_ = BN_CTX_new();
};

TEST_F(FieldTest, MultiplySquareAndSmallConstantsAgreeWithBigNumbers) {
    const std::vector<FieldElement> values = inputs();
    for (size_t i = 0; i < values.size(); ++i) {
        const FieldElement& a = values[i];
        const FieldElement& b = values[(i * 7 + 3) % values.size()];
        FieldElement product, square;
        fieldMul(product, a, b);
        fieldSquare(square, a);
        expectCarried(product);
        expectCarried(square);
        ASSERT_EQ(bytesOf(product), canonical(field.modMul(valueOf(a), valueOf(b)))) << i;
        ASSERT_EQ(bytesOf(square), canonical(field.modMul(valueOf(a), valueOf(a)))) << i;

        const int32_t smallRandom = static_cast<int32_t>(rng() % (1 << 24)) - (1 << 23);
        for (int32_t k : {1, 121665, 486662, -1, smallRandom}) {
            FieldElement scaled = a;
            fieldMulSmall(scaled, scaled, k);  // in place is allowed
            expectCarried(scaled);
            BigNum factor(static_cast<unsigned long>(std::labs(k)));
            BigNum expected = field.modMul(valueOf(a), factor);
            if (k < 0) expected = field.modSub(BigNum(0), expected);
            ASSERT_EQ(bytesOf(scaled), canonical(expected)) << i << " k=" << k;
        }
    }
}

TEST_F(FieldTest, AddSubSetCopyAreLimbWise) {
    FieldElement a = randomCarried(), b = randomCarried(), sum, diff, copy, set;
    fieldAdd(sum, a, b);
    fieldSub(diff, a, b);
    fieldCopy(copy, a);
    fieldSet(set, 486671);
    for (size_t i = 0; i < kFieldLimbCount; ++i) {
        EXPECT_EQ(sum.limb[i], a.limb[i] + b.limb[i]);
        EXPECT_EQ(diff.limb[i], a.limb[i] - b.limb[i]);
        EXPECT_EQ(copy.limb[i], a.limb[i]);
        EXPECT_EQ(set.limb[i], i == 0 ? 486671 : 0);
    }
}

TEST_F(FieldTest, BytesRoundTripKeepsBit255) {
    for (int i = 0; i < 50; ++i) {
        std::string b = sigtest::randomBytes(rng, 32);
        if (i % 2) b[31] = static_cast<char>(b[31] | 0x80);
        const FieldElement f = fromBytes(b);
        // The limbs hold the 256-bit integer exactly: bit 255 is not dropped.
        EXPECT_EQ(sigtest::bytesOf(valueOf(f)), canonical(sigtest::numberOf(b)));
        FieldElement carried;
        fieldMulSmall(carried, f, 1);
        EXPECT_EQ(bytesOf(carried), canonical(sigtest::numberOf(b)));
    }
}

TEST_F(FieldTest, EncodingEdgeValues) {
    const BigNum p = field.prime();
    BigNum pPlus1, twoTo255Minus1(1);
    BN_add(pPlus1.get(), p.get(), BigNum(1).get());
    BN_lshift(twoTo255Minus1.get(), twoTo255Minus1.get(), 255);
    BN_sub(twoTo255Minus1.get(), twoTo255Minus1.get(), BigNum(1).get());

    EXPECT_EQ(bytesOf(fromBytes(sigtest::bytesOf(p))), sigtest::bytesOf(BigNum(0)));
    EXPECT_EQ(bytesOf(fromBytes(sigtest::bytesOf(pPlus1))), sigtest::bytesOf(BigNum(1)));
    EXPECT_EQ(bytesOf(fromBytes(sigtest::bytesOf(twoTo255Minus1))), sigtest::bytesOf(BigNum(18)));
    BigNum pMinus1;
    BN_sub(pMinus1.get(), p.get(), BigNum(1).get());
    EXPECT_EQ(bytesOf(fromBytes(sigtest::bytesOf(pMinus1))), sigtest::bytesOf(pMinus1));

    // 2^256 - 1 = 37 (mod p), once carried.
    FieldElement allOnes = fromBytes(std::string(32, '\xff')), carried;
    fieldMulSmall(carried, allOnes, 1);
    EXPECT_EQ(bytesOf(carried), sigtest::bytesOf(BigNum(37)));

    // A carried element whose limb 9 is -1 stands for a negative integer; its
    // encoding is that value plus p.
    for (int i = 0; i < 20; ++i) {
        FieldElement f = randomCarried();
        f.limb[9] = -1;
        BigNum exact = valueOf(f);  // already reduced into [0, p)
        EXPECT_EQ(bytesOf(f), sigtest::bytesOf(exact));
    }
}

TEST_F(FieldTest, AtLeastPBoundary) {
    const BigNum p = field.prime();
    BigNum pMinus1;
    BN_sub(pMinus1.get(), p.get(), BigNum(1).get());
    EXPECT_EQ(fieldIsAtLeastP(fromBytes(sigtest::bytesOf(pMinus1))), 0);
    EXPECT_EQ(fieldIsAtLeastP(fromBytes(sigtest::bytesOf(p))), 1);
    EXPECT_EQ(fieldIsAtLeastP(fromBytes(std::string(31, '\xff') + '\x7f')), 1);
    FieldElement wideTop;
    fieldSet(wideTop, 0);
    wideTop.limb[9] = 0x2000000;  // 2^255 = 19 (mod p)
    EXPECT_EQ(fieldIsAtLeastP(wideTop), 1);
    EXPECT_EQ(bytesOf(wideTop), sigtest::bytesOf(BigNum(19)));
    EXPECT_EQ(fieldIsAtLeastP(randomCarried()), 0);
}

TEST_F(FieldTest, PowerChainInverseAndRoot) {
    BigNum rootExponent;  // (p - 5) / 8
    BN_sub(rootExponent.get(), field.prime().get(), BigNum(5).get());
    BN_rshift(rootExponent.get(), rootExponent.get(), 3);
    for (int i = 0; i < 20; ++i) {
        FieldElement z = i == 0 ? fromBytes(std::string(32, '\xff')) : randomCarried();
        FieldElement inverse, root, product;
        fieldPow(inverse, z, kFieldPowInverse);
        fieldPow(root, z, kFieldPowRoot);
        fieldMul(product, inverse, z);
        EXPECT_EQ(bytesOf(product), sigtest::bytesOf(BigNum(1)));
        EXPECT_EQ(bytesOf(inverse), canonical(field.modInverse(valueOf(z))));
        BigNum expectedRoot;
        BN_CTX* c = ctx();
        BN_mod_exp(expectedRoot.get(), valueOf(z).get(), rootExponent.get(), field.prime().get(),
                   c);
        EXPECT_EQ(bytesOf(root), sigtest::bytesOf(expectedRoot));
    }
    FieldElement zero, inverse;
    fieldSet(zero, 0);
    fieldPow(inverse, zero, kFieldPowInverse);
    EXPECT_EQ(bytesOf(inverse), sigtest::bytesOf(BigNum(0)));
}

TEST_F(FieldTest, LadderAddGivesTheSumOfCurvePoints) {
    const curve::Point base = field.base();
    for (unsigned long m = 2; m < 12; ++m) {
        const unsigned long n = m / 2;
        const curve::Point p = field.multiply(BigNum(m), base);
        const curve::Point q = field.multiply(BigNum(n), base);
        const curve::Point d = field.multiply(BigNum(m - n), base);
        const curve::Point sum = field.multiply(BigNum(m + n), base);
        // Projective inputs with arbitrary z, to show only u = x / z matters.
        auto projective = [&](const curve::Point& pt, FieldElement& s, FieldElement& dd) {
            FieldElement zf = randomCarried(), uf = fromBytes(sigtest::bytesOf(pt.u)), x;
            fieldMul(x, uf, zf);
            fieldAdd(s, x, zf);
            fieldSub(dd, x, zf);
        };
        FieldElement sp, dp, sq, dq, x, z, inverse, u;
        projective(p, sp, dp);
        projective(q, sq, dq);
        const FieldElement ud = fromBytes(sigtest::bytesOf(d.u));
        ladderAdd(x, z, sp, dp, sq, dq, ud);
        fieldPow(inverse, z, kFieldPowInverse);
        fieldMul(u, x, inverse);
        EXPECT_EQ(bytesOf(u), sigtest::bytesOf(sum.u)) << m << "+" << n;
    }
}

}  // namespace
