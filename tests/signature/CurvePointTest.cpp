#include <gtest/gtest.h>

#include <random>
#include <string>

#include "CurveTestSupport.h"
#include "tools/CurvePoint.h"

namespace {

using curve::BigNum;

// The signer's scalar multiplication (on the curve's Weierstrass form) against
// plain affine additions on the Montgomery form.
TEST(CurvePoint, MultiplyAgreesWithRepeatedAddition) {
    curve::Curve curve;
    const curve::Point base = curve.base();
    curve::Point sum;  // neutral
    for (unsigned long n = 1; n <= 24; ++n) {
        sum = curve.add(sum, base);
        const curve::Point product = curve.multiply(BigNum(n), base);
        ASSERT_FALSE(product.neutral);
        EXPECT_TRUE(product.u == sum.u && product.v == sum.v) << n;
    }
    // [order] B is the neutral element, [order - 1] B = -B.
    EXPECT_TRUE(curve.multiply(curve.order(), base).neutral);
    BigNum orderMinus1;
    BN_sub(orderMinus1.get(), curve.order().get(), BigNum(1).get());
    const curve::Point minusB = curve.multiply(orderMinus1, base);
    EXPECT_TRUE(minusB.u == base.u && minusB.v == curve.negate(base).v);
    EXPECT_TRUE(curve.add(minusB, base).neutral);

    std::mt19937_64 rng(3);
    for (int i = 0; i < 5; ++i) {
        const BigNum m = sigtest::numberOf(sigtest::randomBytes(rng, 32));
        const BigNum n = sigtest::numberOf(sigtest::randomBytes(rng, 32));
        BigNum total;
        BN_add(total.get(), m.get(), n.get());
        const curve::Point viaAdd = curve.add(curve.multiply(m, base), curve.multiply(n, base));
        const curve::Point direct = curve.multiply(total, base);
        EXPECT_TRUE(viaAdd.u == direct.u && viaAdd.v == direct.v);
    }
}

TEST(CurvePoint, LiftPicksTheRootBySign) {
    curve::Curve curve;
    curve::Point even, odd;
    ASSERT_TRUE(curve.lift(BigNum(9), 0, even));
    ASSERT_TRUE(curve.lift(BigNum(9), 1, odd));
    EXPECT_FALSE(even.v.isOdd());
    EXPECT_TRUE(odd.v.isOdd());
    EXPECT_TRUE(curve.modMul(even.v, even.v) == BigNum(39420360));
    EXPECT_TRUE(curve.negate(even).v == odd.v);
    // u = 2 is not the u of a point of the curve (it lies on the twist).
    curve::Point none;
    EXPECT_FALSE(curve.lift(BigNum(2), 0, none));
}

}  // namespace
