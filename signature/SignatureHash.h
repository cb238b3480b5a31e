#pragma once
// The hash of the package signature: the SHA-256 construction (message schedule,
// 64-step compression, padding, big-endian words) with this system's own round
// constants and initial value, so that a signature made for another system's
// verifier never verifies here.
#include <cstddef>
#include <cstdint>

constexpr size_t kSignatureHashSize = 32;
constexpr size_t kSignatureHashRounds = 64;
constexpr size_t kSignatureHashStateWords = 8;

struct SignatureHashTables {
    uint32_t roundConstants[kSignatureHashRounds];
    uint32_t initialValue[kSignatureHashStateWords];
};

// Round constants: the first 32 bits of the fractional parts of the cube roots of
// the 65th to 128th primes (313 to 719). Initial value: the first 32 bits of the
// fractional parts of the square roots of the 9th to 16th primes (23 to 53).
extern const SignatureHashTables kSignatureHashTables;

class SignatureHash {
public:
    // One-shot hash of length bytes with the system's tables.
    static void compute(const uint8_t* data, size_t length, uint8_t out[kSignatureHashSize]);
    // The same construction over other tables (with SHA-256's own it is SHA-256).
    static void computeWith(const SignatureHashTables& tables, const uint8_t* data, size_t length,
                            uint8_t out[kSignatureHashSize]);
};
