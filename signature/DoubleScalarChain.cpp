#include "signature/DoubleScalarChain.h"

#include "signature/FieldArithmetic.h"

namespace {

constexpr int32_t kCurveA = 486662;
constexpr int32_t kCurveA24 = 121665;  // (A - 2) / 4
constexpr int32_t kBaseU = 9;
constexpr int32_t kBaseCurveValue = 39420360;       // 9^3 + A * 9^2 + 9 = v_B^2
constexpr int32_t kChordOffset = kCurveA + kBaseU;  // A + u_B

// 2 * v_B, v_B the even square root of 39420360, little-endian.
constexpr uint8_t kTwiceBaseV[kFieldByteSize] = {
    0x3b, 0x58, 0x62, 0x02, 0xbb, 0x74, 0x2c, 0xac, 0x9b, 0x3c, 0x07, 0x25, 0x03, 0x65, 0x85, 0xdb,
    0x66, 0x5d, 0x6e, 0x11, 0xa7, 0x45, 0xc2, 0x3f, 0x96, 0xf2, 0xbe, 0x8e, 0xbc, 0xcc, 0xa3, 0x3e,
};

// Bit j of a 256-bit little-endian scalar; bit 256 is 0.
inline int bitAt(const uint8_t* x, int j) {
    return j > 255 ? 0 : (x[j >> 3] >> (j & 7)) & 1;
}

// c_j = ds_j XOR (c_(j-1) AND [ds_j = de_j]) over j = 0..256, where ds and de
// mark where the bits of s and e change. c_0..c_255 go to c, c_256 is returned.
int recode(uint8_t c[kCurveScalarSize], const uint8_t s[kCurveScalarSize],
           const uint8_t e[kCurveScalarSize]) {
    int carry = 0, prevS = 0, prevE = 0;
    for (size_t byte = 0; byte < kCurveScalarSize; ++byte) {
        uint8_t out = 0;
        for (int bit = 0; bit < 8; ++bit) {
            const int sj = (s[byte] >> bit) & 1;
            const int ej = (e[byte] >> bit) & 1;
            const int ds = sj ^ prevS;
            const int de = ej ^ prevE;
            carry = ds ^ (carry & (ds == de ? 1 : 0));
            out = static_cast<uint8_t>(out | (carry << bit));
            prevS = sj;
            prevE = ej;
        }
        c[byte] = out;
    }
    return prevS ^ (carry & (prevS == prevE ? 1 : 0));
}

// u(A+B) and u(A-B) for A = (uA, even root of uA^3 + A uA^2 + uA) and B = (9, v_B).
void chordSums(FieldElement& sumAB, FieldElement& diffAB, const FieldElement& uA) {
    FieldElement a, t0, t1, t2, y;

    // a = ((uA^2 + A uA) + 1) uA
    fieldSquare(t0, uA);
    fieldMulSmall(t1, uA, kCurveA);
    fieldAdd(t0, t0, t1);
    fieldSet(t1, 1);
    fieldAdd(t0, t0, t1);
    fieldMul(a, t0, uA);

    // Atkin's square root for p = 5 (mod 8): t = (2a)^((p-5)/8), i = 2a t^2,
    // y = a t (i - 1).
    fieldAdd(t2, a, a);
    fieldPow(t0, t2, kFieldPowRoot);
    fieldSquare(t1, t0);
    fieldMul(y, t2, t1);  // i
    fieldSet(t1, 1);
    fieldSub(t2, y, t1);  // i - 1
    fieldMul(t1, a, t0);
    fieldMul(y, t1, t2);

    // (v_A -+ v_B)^2 = a + v_B^2 -+ 2 v_B v_A
    FieldElement twiceVB, nMinus, nPlus;
    fieldFromBytes(twiceVB, kTwiceBaseV);
    fieldMul(t0, twiceVB, y);
    fieldSet(t1, kBaseCurveValue);
    fieldAdd(t1, a, t1);
    fieldSub(nMinus, t1, t0);
    fieldAdd(nPlus, t1, t0);

    // d = 1 / (uA - 9)^2: the chord's slope squared is n * d.
    FieldElement d;
    fieldSet(t1, kBaseU);
    fieldSub(t0, uA, t1);
    fieldSquare(t1, t0);
    fieldPow(d, t1, kFieldPowInverse);

    FieldElement offset;
    fieldSet(offset, kChordOffset);
    fieldAdd(offset, offset, uA);
    fieldMul(t0, nMinus, d);
    fieldSub(t0, t0, offset);
    fieldMul(t1, nPlus, d);
    fieldSub(t1, t1, offset);

    // With an odd y the even root is -y, which swaps the two sums.
    uint8_t yBytes[kFieldByteSize];
    fieldToBytes(yBytes, y);
    const bool yOdd = (yBytes[0] & 1) != 0;
    fieldMulSmall(sumAB, yOdd ? t1 : t0, 1);
    fieldMulSmall(diffAB, yOdd ? t0 : t1, 1);
}

}  // namespace

void prepareCurveKey(PreparedCurveKey& out, const uint8_t key[kCurveKeySize]) {
    fieldFromBytes(out.u, key);
    chordSums(out.sumWithBase, out.diffWithBase, out.u);
}

void doubleScalarMultiple(uint8_t out[kCurveEncodingSize], const uint8_t key[kCurveKeySize],
                          const uint8_t s[kCurveScalarSize], const uint8_t e[kCurveScalarSize]) {
    PreparedCurveKey prepared;
    prepareCurveKey(prepared, key);
    doubleScalarMultiple(out, prepared, s, e);
}

void doubleScalarMultiple(uint8_t out[kCurveEncodingSize], const PreparedCurveKey& key,
                          const uint8_t s[kCurveScalarSize], const uint8_t e[kCurveScalarSize]) {
    const FieldElement& uA = key.u;
    const FieldElement& sumAB = key.sumWithBase;
    const FieldElement& diffAB = key.diffWithBase;
    FieldElement nine;
    fieldSet(nine, kBaseU);

    uint8_t c[kCurveScalarSize];
    const int c256 = recode(c, s, e);

    // R0, R1, R2 as (x : z); their pairwise differences stay among A, B, A+B and
    // A-B, so every addition has a known affine difference.
    FieldElement x[3], z[3], sum[3], diff[3];
    fieldSet(x[0], 1);
    fieldSet(z[0], 0);
    fieldCopy(x[1], c256 ? uA : nine);
    fieldSet(z[1], 1);
    fieldCopy(x[2], sumAB);
    fieldSet(z[2], 1);

    FieldElement t0, t1, t2;
    for (int j = 255; j >= 0; --j) {
        for (int i = 0; i < 3; ++i) {
            fieldAdd(sum[i], x[i], z[i]);
            fieldSub(diff[i], x[i], z[i]);
        }
        const int sj = bitAt(s, j), sNext = bitAt(s, j + 1);
        const int ej = bitAt(e, j), eNext = bitAt(e, j + 1);
        const int cj = bitAt(c, j), cNext = j == 255 ? c256 : bitAt(c, j + 1);

        // R0 = 2 R_k
        const int k = (sj ^ sNext) + (ej ^ eNext);
        fieldSquare(t0, sum[k]);
        fieldSquare(t1, diff[k]);
        fieldMul(x[0], t0, t1);
        fieldSub(t2, t0, t1);
        fieldMulSmall(t1, t2, kCurveA24);
        fieldAdd(t1, t1, t0);
        fieldMul(z[0], t2, t1);

        // R1 += R_k' (k' is 0 or 2, never 1, so R1's scratch may be overwritten)
        const int kPrime = cj != cNext ? 2 : 0;
        ladderAdd(x[1], z[1], sum[1], diff[1], sum[kPrime], diff[kPrime], cj ? uA : nine);
        // R2 += R0 (as it was at the start of the step)
        ladderAdd(x[2], z[2], sum[2], diff[2], sum[0], diff[0], (sNext ^ eNext) ? diffAB : sumAB);
    }

    const int m = bitAt(s, 0) + bitAt(e, 0);
    fieldPow(t0, z[m], kFieldPowInverse);
    fieldMul(t1, x[m], t0);
    fieldToBytes(out, t1);
}
