#pragma once
// Arithmetic modulo p = 2^255 - 19 and the Montgomery differential addition on
// Curve25519, as the package signature check needs them. Values are fixed-size,
// live on the caller's stack and never fail.
#include <cstddef>
#include <cstdint>

constexpr size_t kFieldLimbCount = 10;
constexpr size_t kFieldByteSize = 32;

// Ten signed limbs of alternately 26 and 25 bits at bit offsets 0, 26, 51, 77,
// 102, 128, 153, 179, 204, 230 (radix 2^25.5).
//
// Carried form (left by fieldMul, fieldSquare, fieldMulSmall): limbs 0..8 lie
// within their width; limb 9 within 25 bits give or take a small carry, so it may
// be slightly negative or a little above 0x1ffffff.
// Loose form: limb-wise sums and differences of carried elements. Multiplication,
// squaring and fieldMulSmall accept loose inputs.
struct FieldElement {
    int32_t limb[kFieldLimbCount];
};

// fieldPow modes.
constexpr int kFieldPowInverse = 0;  // z^(p-2); 0 stays 0
constexpr int kFieldPowRoot = 1;     // z^((p-5)/8) = z^(2^252-3)

// out = n (limb 0 = n, the rest 0).
void fieldSet(FieldElement& out, int32_t n);
void fieldCopy(FieldElement& out, const FieldElement& a);
// Limb-wise, without carrying; out may be an input.
void fieldAdd(FieldElement& out, const FieldElement& a, const FieldElement& b);
void fieldSub(FieldElement& out, const FieldElement& a, const FieldElement& b);
// out = a * k in carried form; out may be a. With k = 1 this only carries a loose
// element.
void fieldMulSmall(FieldElement& out, const FieldElement& a, int32_t k);
// out = a * b in carried form; out must not be a or b.
void fieldMul(FieldElement& out, const FieldElement& a, const FieldElement& b);
// out = a^2 in carried form; out must not be a.
void fieldSquare(FieldElement& out, const FieldElement& a);
// Fixed addition chain: 254 squarings and 11 multiplications for the inverse,
// 251 and 11 for the root mode. out must not be z.
void fieldPow(FieldElement& out, const FieldElement& z, int mode);
// 1 when the carried element's value is at least p, else 0; no branches.
int32_t fieldIsAtLeastP(const FieldElement& h);
// The canonical value in [0, p) of a carried element, 32 bytes little-endian.
void fieldToBytes(uint8_t out[kFieldByteSize], const FieldElement& h);
// The little-endian 256-bit integer as limbs; bit 255 is kept in limb 9, where
// its weight 2^255 counts as 19 in later reductions.
void fieldFromBytes(FieldElement& out, const uint8_t in[kFieldByteSize]);

// Montgomery differential addition: (x : z) = P + Q from the sums and differences
// S = X + Z, D = X - Z of P and Q and the affine u of P - Q. sumP and diffP serve
// as scratch space and are overwritten; x and z must not alias any input.
void ladderAdd(FieldElement& x, FieldElement& z, FieldElement& sumP, FieldElement& diffP,
               const FieldElement& sumQ, const FieldElement& diffQ, const FieldElement& uDiff);
