#include "signature/FieldArithmetic.h"

#include "platform/ByteOrder.h"

namespace {

constexpr int64_t kMask26 = 0x3ffffff;
constexpr int64_t kMask25 = 0x1ffffff;

// Carries ten 64-bit sums into carried form. Limb 8 goes first so that its
// overflow joins limb 9 before the wrap (times 19 into limb 0); then one upward
// pass. The final carry out of limb 8 is what may leave limb 9 just outside its
// 25 bits.
inline void carryInto(FieldElement& out, int64_t h0, int64_t h1, int64_t h2, int64_t h3, int64_t h4,
                      int64_t h5, int64_t h6, int64_t h7, int64_t h8, int64_t h9) {
    int64_t c;
    // clang-format off
    c = h8 >> 26; h9 += c; h8 &= kMask26;
    c = h9 >> 25; h0 += c * 19; h9 &= kMask25;
    c = h0 >> 26; h1 += c; h0 &= kMask26;
    c = h1 >> 25; h2 += c; h1 &= kMask25;
    c = h2 >> 26; h3 += c; h2 &= kMask26;
    c = h3 >> 25; h4 += c; h3 &= kMask25;
    c = h4 >> 26; h5 += c; h4 &= kMask26;
    c = h5 >> 25; h6 += c; h5 &= kMask25;
    c = h6 >> 26; h7 += c; h6 &= kMask26;
    c = h7 >> 25; h8 += c; h7 &= kMask25;
    c = h8 >> 26; h9 += c; h8 &= kMask26;
    // clang-format on
    out.limb[0] = static_cast<int32_t>(h0);
    out.limb[1] = static_cast<int32_t>(h1);
    out.limb[2] = static_cast<int32_t>(h2);
    out.limb[3] = static_cast<int32_t>(h3);
    out.limb[4] = static_cast<int32_t>(h4);
    out.limb[5] = static_cast<int32_t>(h5);
    out.limb[6] = static_cast<int32_t>(h6);
    out.limb[7] = static_cast<int32_t>(h7);
    out.limb[8] = static_cast<int32_t>(h8);
    out.limb[9] = static_cast<int32_t>(h9);
}

// out = a^(2^n) for n >= 1; out must not be a.
void squareTimes(FieldElement& out, const FieldElement& a, int n) {
    FieldElement t;
    fieldSquare(out, a);
    int done = 1;
    for (; done + 1 < n; done += 2) {
        fieldSquare(t, out);
        fieldSquare(out, t);
    }
    if (done < n) {
        fieldSquare(t, out);
        fieldCopy(out, t);
    }
}

}  // namespace

void fieldSet(FieldElement& out, int32_t n) {
    out.limb[0] = n;
    for (size_t i = 1; i < kFieldLimbCount; ++i) out.limb[i] = 0;
}

void fieldCopy(FieldElement& out, const FieldElement& a) {
    for (size_t i = 0; i < kFieldLimbCount; ++i) out.limb[i] = a.limb[i];
}

void fieldAdd(FieldElement& out, const FieldElement& a, const FieldElement& b) {
    for (size_t i = 0; i < kFieldLimbCount; ++i) out.limb[i] = a.limb[i] + b.limb[i];
}

void fieldSub(FieldElement& out, const FieldElement& a, const FieldElement& b) {
    for (size_t i = 0; i < kFieldLimbCount; ++i) out.limb[i] = a.limb[i] - b.limb[i];
}

void fieldMulSmall(FieldElement& out, const FieldElement& a, int32_t k) {
    const int64_t m = k;
    carryInto(out, a.limb[0] * m, a.limb[1] * m, a.limb[2] * m, a.limb[3] * m, a.limb[4] * m,
              a.limb[5] * m, a.limb[6] * m, a.limb[7] * m, a.limb[8] * m, a.limb[9] * m);
}

// Term f_i * g_j lands in limb (i + j) mod 10; it is doubled when i and j are
// both odd (two 25-bit offsets add up to one bit more than the target limb's
// offset) and the terms with i + j >= 10 are gathered and taken 19 times, since
// 2^255 = 19 (mod p). Every product is of two 32-bit limbs. Each sum stays
// below 2^63 as long as even limbs are below 2^28 and odd limbs below 2^27 in
// magnitude, which covers sums of up to three carried elements.
void fieldMul(FieldElement& out, const FieldElement& a, const FieldElement& b) {
    const int64_t f0 = a.limb[0];
    const int64_t f1 = a.limb[1];
    const int64_t f2 = a.limb[2];
    const int64_t f3 = a.limb[3];
    const int64_t f4 = a.limb[4];
    const int64_t f5 = a.limb[5];
    const int64_t f6 = a.limb[6];
    const int64_t f7 = a.limb[7];
    const int64_t f8 = a.limb[8];
    const int64_t f9 = a.limb[9];
    const int64_t g0 = b.limb[0];
    const int64_t g1 = b.limb[1];
    const int64_t g2 = b.limb[2];
    const int64_t g3 = b.limb[3];
    const int64_t g4 = b.limb[4];
    const int64_t g5 = b.limb[5];
    const int64_t g6 = b.limb[6];
    const int64_t g7 = b.limb[7];
    const int64_t g8 = b.limb[8];
    const int64_t g9 = b.limb[9];
    int64_t h0 = f0 * g0 + 19 * (f2 * g8 + f4 * g6 + f6 * g4 + f8 * g2 +
                                 2 * (f1 * g9 + f3 * g7 + f5 * g5 + f7 * g3 + f9 * g1));
    int64_t h1 =
        f0 * g1 + f1 * g0 +
        19 * (f2 * g9 + f3 * g8 + f4 * g7 + f5 * g6 + f6 * g5 + f7 * g4 + f8 * g3 + f9 * g2);
    int64_t h2 = f0 * g2 + f2 * g0 + 2 * f1 * g1 +
                 19 * (f4 * g8 + f6 * g6 + f8 * g4 + 2 * (f3 * g9 + f5 * g7 + f7 * g5 + f9 * g3));
    int64_t h3 = f0 * g3 + f1 * g2 + f2 * g1 + f3 * g0 +
                 19 * (f4 * g9 + f5 * g8 + f6 * g7 + f7 * g6 + f8 * g5 + f9 * g4);
    int64_t h4 = f0 * g4 + f2 * g2 + f4 * g0 + 2 * (f1 * g3 + f3 * g1) +
                 19 * (f6 * g8 + f8 * g6 + 2 * (f5 * g9 + f7 * g7 + f9 * g5));
    int64_t h5 = f0 * g5 + f1 * g4 + f2 * g3 + f3 * g2 + f4 * g1 + f5 * g0 +
                 19 * (f6 * g9 + f7 * g8 + f8 * g7 + f9 * g6);
    int64_t h6 = f0 * g6 + f2 * g4 + f4 * g2 + f6 * g0 + 2 * (f1 * g5 + f3 * g3 + f5 * g1) +
                 19 * (f8 * g8 + 2 * (f7 * g9 + f9 * g7));
    int64_t h7 = f0 * g7 + f1 * g6 + f2 * g5 + f3 * g4 + f4 * g3 + f5 * g2 + f6 * g1 + f7 * g0 +
                 19 * (f8 * g9 + f9 * g8);
    int64_t h8 = f0 * g8 + f2 * g6 + f4 * g4 + f6 * g2 + f8 * g0 +
                 2 * (f1 * g7 + f3 * g5 + f5 * g3 + f7 * g1) + 19 * (2 * f9 * g9);
    int64_t h9 = f0 * g9 + f1 * g8 + f2 * g7 + f3 * g6 + f4 * g5 + f5 * g4 + f6 * g3 + f7 * g2 +
                 f8 * g1 + f9 * g0;
    carryInto(out, h0, h1, h2, h3, h4, h5, h6, h7, h8, h9);
}

// The products of fieldMul with each cross product taken once and doubled.
void fieldSquare(FieldElement& out, const FieldElement& a) {
    const int64_t f0 = a.limb[0];
    const int64_t f1 = a.limb[1];
    const int64_t f2 = a.limb[2];
    const int64_t f3 = a.limb[3];
    const int64_t f4 = a.limb[4];
    const int64_t f5 = a.limb[5];
    const int64_t f6 = a.limb[6];
    const int64_t f7 = a.limb[7];
    const int64_t f8 = a.limb[8];
    const int64_t f9 = a.limb[9];
    int64_t h0 = f0 * f0 + 19 * (2 * (f2 * f8 + f4 * f6 + f5 * f5) + 4 * (f1 * f9 + f3 * f7));
    int64_t h1 = 2 * f0 * f1 + 19 * (2 * (f2 * f9 + f3 * f8 + f4 * f7 + f5 * f6));
    int64_t h2 = 2 * (f0 * f2 + f1 * f1) + 19 * (f6 * f6 + 2 * f4 * f8 + 4 * (f3 * f9 + f5 * f7));
    int64_t h3 = 2 * (f0 * f3 + f1 * f2) + 19 * (2 * (f4 * f9 + f5 * f8 + f6 * f7));
    int64_t h4 = f2 * f2 + 2 * f0 * f4 + 4 * f1 * f3 + 19 * (2 * (f6 * f8 + f7 * f7) + 4 * f5 * f9);
    int64_t h5 = 2 * (f0 * f5 + f1 * f4 + f2 * f3) + 19 * (2 * (f6 * f9 + f7 * f8));
    int64_t h6 = 2 * (f0 * f6 + f2 * f4 + f3 * f3) + 4 * f1 * f5 + 19 * (f8 * f8 + 4 * f7 * f9);
    int64_t h7 = 2 * (f0 * f7 + f1 * f6 + f2 * f5 + f3 * f4) + 19 * (2 * f8 * f9);
    int64_t h8 = f4 * f4 + 2 * (f0 * f8 + f2 * f6) + 4 * (f1 * f7 + f3 * f5) + 19 * (2 * f9 * f9);
    int64_t h9 = 2 * (f0 * f9 + f1 * f8 + f2 * f7 + f3 * f6 + f4 * f5);
    carryInto(out, h0, h1, h2, h3, h4, h5, h6, h7, h8, h9);
}

void fieldPow(FieldElement& out, const FieldElement& z, int mode) {
    FieldElement z2, z9, z11, t0, t1;
    FieldElement chain5, chain10, chain20, chain50, chain100;  // z^(2^n - 1)

    fieldSquare(z2, z);        // z^2
    squareTimes(t1, z2, 2);    // z^8
    fieldMul(z9, t1, z);       // z^9
    fieldMul(z11, z9, z2);     // z^11
    fieldSquare(t0, z11);      // z^22
    fieldMul(chain5, t0, z9);  // z^(2^5 - 1)
    squareTimes(t0, chain5, 5);
    fieldMul(chain10, t0, chain5);
    squareTimes(t0, chain10, 10);
    fieldMul(chain20, t0, chain10);
    squareTimes(t0, chain20, 20);
    fieldMul(t1, t0, chain20);  // z^(2^40 - 1)
    squareTimes(t0, t1, 10);
    fieldMul(chain50, t0, chain10);
    squareTimes(t0, chain50, 50);
    fieldMul(chain100, t0, chain50);
    squareTimes(t0, chain100, 100);
    fieldMul(t1, t0, chain100);  // z^(2^200 - 1)
    squareTimes(t0, t1, 50);
    fieldMul(t1, t0, chain50);  // z^(2^250 - 1)
    squareTimes(t0, t1, 2);     // z^(2^252 - 4)
    if (mode == kFieldPowRoot) {
        fieldMul(out, t0, z);  // z^(2^252 - 3)
    } else {
        squareTimes(t1, t0, 3);  // z^(2^255 - 32)
        fieldMul(out, t1, z11);  // z^(2^255 - 21) = z^(p - 2)
    }
}

int32_t fieldIsAtLeastP(const FieldElement& h) {
    const int32_t* f = h.limb;
    const int32_t limb9High = f[9] > 0x1ffffff;
    // Compared one by one: a negative limb has every low bit set too, and
    // would pass for all ones in a combined mask.
    const int32_t oddAllOnes = (f[1] == 0x1ffffff) & (f[3] == 0x1ffffff) & (f[5] == 0x1ffffff) &
                               (f[7] == 0x1ffffff) & (f[9] == 0x1ffffff);
    const int32_t evenAllOnes =
        (f[2] == 0x3ffffff) & (f[4] == 0x3ffffff) & (f[6] == 0x3ffffff) & (f[8] == 0x3ffffff);
    const int32_t lowAbove = f[0] > 0x3ffffec;
    return limb9High | (oddAllOnes & evenAllOnes & lowAbove);
}

void fieldToBytes(uint8_t out[kFieldByteSize], const FieldElement& h) {
    static constexpr int kOffsets[kFieldLimbCount + 1] = {0,   26,  51,  77,  102, 128,
                                                          153, 179, 204, 230, 256};
    // q in {-1, 0, 1}: the value written is h - q * p.
    const int64_t q = fieldIsAtLeastP(h) - (h.limb[9] < 0 ? 1 : 0);
    int64_t acc = 0;
    int base = 0;  // bit position of acc's bit 0
    size_t written = 0;
    for (size_t i = 0; i < kFieldLimbCount; ++i) {
        int64_t v = h.limb[i];
        if (i == 0) v += 19 * q;
        if (i == kFieldLimbCount - 1) v -= q * (int64_t{1} << 25);
        acc += v * (int64_t{1} << (kOffsets[i] - base));
        while (kOffsets[i + 1] - base >= 32) {
            store32le(out + written, static_cast<uint32_t>(acc));
            written += 4;
            acc >>= 32;
            base += 32;
        }
    }
}

void fieldFromBytes(FieldElement& out, const uint8_t in[kFieldByteSize]) {
    // Each limb fits in one 32-bit little-endian word starting at byte offset / 8.
    out.limb[0] = static_cast<int32_t>(load32le(in + 0) & kMask26);
    out.limb[1] = static_cast<int32_t>((load32le(in + 3) >> 2) & kMask25);
    out.limb[2] = static_cast<int32_t>((load32le(in + 6) >> 3) & kMask26);
    out.limb[3] = static_cast<int32_t>((load32le(in + 9) >> 5) & kMask25);
    out.limb[4] = static_cast<int32_t>((load32le(in + 12) >> 6) & kMask26);
    out.limb[5] = static_cast<int32_t>(load32le(in + 16) & kMask25);
    out.limb[6] = static_cast<int32_t>((load32le(in + 19) >> 1) & kMask26);
    out.limb[7] = static_cast<int32_t>((load32le(in + 22) >> 3) & kMask25);
    out.limb[8] = static_cast<int32_t>((load32le(in + 25) >> 4) & kMask26);
    out.limb[9] = static_cast<int32_t>(load32le(in + 28) >> 6);  // bits 230..255
}

void ladderAdd(FieldElement& x, FieldElement& z, FieldElement& sumP, FieldElement& diffP,
               const FieldElement& sumQ, const FieldElement& diffQ, const FieldElement& uDiff) {
    fieldMul(x, diffP, sumQ);  // DA
    fieldMul(z, sumP, diffQ);  // CB
    fieldAdd(sumP, x, z);
    fieldSub(diffP, x, z);
    fieldSquare(x, sumP);
    fieldSquare(sumP, diffP);
    fieldMul(z, sumP, uDiff);
}
