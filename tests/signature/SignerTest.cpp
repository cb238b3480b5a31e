#include <gtest/gtest.h>

#include <random>
#include <string>

#include "CurveTestSupport.h"
#include "DevelopmentSigningKey.h"
#include "tools/Signer.h"

namespace {

TEST(Signer, PublicKeyOfAClampedSecretIsX25519) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 6; ++i) {
        const std::string secret = sigtest::clamped(sigtest::randomBytes(rng, 32));
        EXPECT_EQ(sigtest::hex(pkgsign::publicKeyFor(secret)),
                  sigtest::hex(sigtest::x25519Base(secret)));
    }
}

TEST(Signer, DevelopmentKeyPairMatchesTheDefaultPublicKey) {
    const std::string secret = pkgsign::developmentSecretKey();
    ASSERT_EQ(secret.size(), pkgsign::kSecretKeySize);
    EXPECT_EQ(pkgsign::publicKeyFor(secret),
              std::string(reinterpret_cast<const char*>(kDevelopmentPublicKey), 32));
}

TEST(Signer, FreshKeysAndNonces) {
    const std::string a = pkgsign::generateSecretKey(), b = pkgsign::generateSecretKey();
    ASSERT_EQ(a.size(), pkgsign::kSecretKeySize);
    EXPECT_NE(a, b);
    EXPECT_EQ(pkgsign::publicKeyFor(a).size(), pkgsign::kPublicKeySize);
    const uint8_t digest[20] = {1, 2, 3};
    const std::string first = pkgsign::signDigest(a, digest),
                      second = pkgsign::signDigest(a, digest);
    ASSERT_EQ(first.size(), kSignaturePayloadSize);
    EXPECT_EQ(first.substr(0, 20), std::string(reinterpret_cast<const char*>(digest), 20));
    EXPECT_NE(first.substr(20), second.substr(20));  // a new k every time
}

TEST(Signer, MalformedSecretIsRefused) {
    const uint8_t digest[20] = {};
    EXPECT_EQ(pkgsign::publicKeyFor("short"), "");
    EXPECT_EQ(pkgsign::signDigest("short", digest), "");
    EXPECT_EQ(pkgsign::signDigest(std::string(32, '\0'), digest), "");  // zero scalar
}

}  // namespace
