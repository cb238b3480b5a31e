#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/sha.h>

#include <random>
#include <string>
#include <vector>

#include "CurveTestSupport.h"
#include "signature/SignatureHash.h"

namespace {

using curve::BigNum;

// SHA-256's own tables (FIPS 180-4), to show that the construction is SHA-256's.
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

std::string openSslSha256(const std::string& data) {
    std::string out(SHA256_DIGEST_LENGTH, '\0');
    SHA256(sigtest::bytes(data), data.size(), reinterpret_cast<uint8_t*>(&out[0]));
    return out;
}

std::string hashWith(const SignatureHashTables& tables, const std::string& data) {
    std::string out(kSignatureHashSize, '\0');
    SignatureHash::computeWith(tables, sigtest::bytes(data), data.size(),
                               reinterpret_cast<uint8_t*>(&out[0]));
    return out;
}

TEST(SignatureHash, WithSha256TablesItIsSha256) {
    std::mt19937_64 rng(7);
    // 20 and 32 bytes are what the signature check hashes; the other lengths sit
    // on the padding's boundaries.
    for (size_t length : {20, 32, 0, 55, 56, 63, 64, 65, 119, 120, 200}) {
        for (int round = 0; round < 20; ++round) {
            const std::string data = sigtest::randomBytes(rng, length);
            ASSERT_EQ(sigtest::hex(hashWith(kSha256Tables, data)),
                      sigtest::hex(openSslSha256(data)))
                << "length " << length;
        }
    }
}

TEST(SignatureHash, ProjectTablesChangeTheResult) {
    const std::string data(32, '\x5a');
    std::string own(kSignatureHashSize, '\0');
    SignatureHash::compute(sigtest::bytes(data), data.size(), reinterpret_cast<uint8_t*>(&own[0]));
    EXPECT_EQ(own, hashWith(kSignatureHashTables, data));
    EXPECT_NE(own, openSslSha256(data));
}

std::vector<unsigned long> firstPrimes(size_t count) {
    std::vector<unsigned long> primes;
    for (unsigned long n = 2; primes.size() < count; ++n) {
        bool prime = true;
        for (unsigned long q : primes) {
            if (q * q > n) break;
            if (n % q == 0) prime = false;
        }
        if (prime) primes.push_back(n);
    }
    return primes;
}

// The largest x with x^degree <= n, by bisection on exact integers.
BigNum integerRoot(const BigNum& n, int degree) {
    BN_CTX* ctx = BN_CTX_new();
    BigNum low(0), high(1);
    BN_lshift(high.get(), high.get(), BN_num_bits(n.get()) / degree + 1);
    BigNum mid, power, one(1), span;
    for (;;) {
        BN_sub(span.get(), high.get(), low.get());
        if (BN_is_one(span.get())) break;
        BN_add(mid.get(), low.get(), high.get());
        BN_rshift1(mid.get(), mid.get());
        BN_copy(power.get(), mid.get());
        for (int i = 1; i < degree; ++i) BN_mul(power.get(), power.get(), mid.get(), ctx);
        if (BN_cmp(power.get(), n.get()) <= 0) {
            low = mid;
        } else {
            high = mid;
        }
    }
    BN_CTX_free(ctx);
    return low;
}

// First 32 bits of the fractional part of prime^(1/degree): floor(root * 2^32)
// modulo 2^32, with root * 2^32 = (prime * 2^(32 degree))^(1/degree).
uint32_t fractionBits(unsigned long prime, int degree) {
    BigNum n(prime);
    BN_lshift(n.get(), n.get(), 32 * degree);
    BigNum root = integerRoot(n, degree);
    // Masked first: BN_get_word of a number wider than a word (32 bits on 32-bit
    // targets) gives all ones.
    BN_mask_bits(root.get(), 32);
    return static_cast<uint32_t>(BN_get_word(root.get()));
}

TEST(SignatureHash, TablesFollowTheirDefinition) {
    const std::vector<unsigned long> primes = firstPrimes(128);
    ASSERT_EQ(primes[64], 313u);
    ASSERT_EQ(primes[127], 719u);
    ASSERT_EQ(primes[8], 23u);
    ASSERT_EQ(primes[15], 53u);
    // The method reproduces SHA-256's tables from the first primes.
    for (size_t i = 0; i < 64; ++i)
        ASSERT_EQ(fractionBits(primes[i], 3), kSha256Tables.roundConstants[i]);
    for (size_t j = 0; j < 8; ++j)
        ASSERT_EQ(fractionBits(primes[j], 2), kSha256Tables.initialValue[j]);

    for (size_t i = 0; i < kSignatureHashRounds; ++i) {
        EXPECT_EQ(fractionBits(primes[64 + i], 3), kSignatureHashTables.roundConstants[i]) << i;
    }
    for (size_t j = 0; j < kSignatureHashStateWords; ++j) {
        EXPECT_EQ(fractionBits(primes[8 + j], 2), kSignatureHashTables.initialValue[j]) << j;
    }
}

}  // namespace
