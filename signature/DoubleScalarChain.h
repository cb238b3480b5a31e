#pragma once
// The curve part of the signature check: u([s]A + [e]B) on Curve25519 from the
// public key's u-coordinate alone, by a two-dimensional differential addition
// chain over Montgomery u-coordinates.
#include <cstddef>
#include <cstdint>

#include "signature/FieldArithmetic.h"

constexpr size_t kCurveScalarSize = 32;
constexpr size_t kCurveKeySize = 32;
constexpr size_t kCurveEncodingSize = 32;

// What the chain needs of a public key that depends on the key alone. Making it
// takes a square root and an inversion, about a tenth of one check, so a
// program that checks many packages against the same keys makes it once per key.
struct PreparedCurveKey {
    FieldElement u;             // A's u-coordinate, all 256 bits read
    FieldElement sumWithBase;   // u(A + B)
    FieldElement diffWithBase;  // u(A - B)
};

// A is the key's u-coordinate (all 256 bits read, little-endian) lifted with the
// even square root; B is the base point u = 9, also lifted with the even root.
void prepareCurveKey(PreparedCurveKey& out, const uint8_t key[kCurveKeySize]);

// s and e are 256-bit little-endian integers; e must have bit 255 clear, as
// clamping leaves it. Writes the canonical u of [s]A + [e]B, little-endian; the
// neutral element encodes as zero.
void doubleScalarMultiple(uint8_t out[kCurveEncodingSize], const PreparedCurveKey& key,
                          const uint8_t s[kCurveScalarSize], const uint8_t e[kCurveScalarSize]);
// The same with the key prepared for this one use.
void doubleScalarMultiple(uint8_t out[kCurveEncodingSize], const uint8_t key[kCurveKeySize],
                          const uint8_t s[kCurveScalarSize], const uint8_t e[kCurveScalarSize]);
