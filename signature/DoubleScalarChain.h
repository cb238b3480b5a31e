#pragma once
// The curve part of the signature check: u([s]A + [e]B) on Curve25519 from the
// public key's u-coordinate alone, by a two-dimensional differential addition
// chain over Montgomery u-coordinates.
#include <cstddef>
#include <cstdint>

constexpr size_t kCurveScalarSize = 32;
constexpr size_t kCurveKeySize = 32;
constexpr size_t kCurveEncodingSize = 32;

// A is the key's u-coordinate (all 256 bits read, little-endian) lifted with the
// even square root; B is the base point u = 9, also lifted with the even root.
// s and e are 256-bit little-endian integers; e must have bit 255 clear, as
// clamping leaves it. Writes the canonical u of the sum, little-endian; the
// neutral element encodes as zero.
void doubleScalarMultiple(uint8_t out[kCurveEncodingSize], const uint8_t key[kCurveKeySize],
                          const uint8_t s[kCurveScalarSize], const uint8_t e[kCurveScalarSize]);
