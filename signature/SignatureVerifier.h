#pragma once
// The check of a package's signature part against public keys: those built
// into the program or any given list. It answers true or false and prints
// nothing.
//
// A SignatureVerifier holds its keys in prepared form, each made at its first
// use and kept: a run that checks many packages (an upgrade run, a bundle)
// should hold one and check every package with it. The static verify calls
// prepare the keys for that one package.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "signature/DoubleScalarChain.h"

class PartStreambuf;

class SignatureVerifier {
public:
    // Signature part payload: digest (20) || r (16) || s (32); any further bytes
    // of the part stay unread for the caller.
    static constexpr size_t kPayloadSize = 68;
    static constexpr size_t kDigestSize = 20;
    static constexpr size_t kROffset = 20;
    static constexpr size_t kRSize = 16;
    static constexpr size_t kSOffset = 36;

    // Against the built-in keys.
    SignatureVerifier();
    // Against keyCount keys, copied: the caller's array need not outlive this.
    SignatureVerifier(const uint8_t (*keys)[kCurveKeySize], size_t keyCount);

    // Call exactly once per package, right after the reader consumed the header
    // of the signature part. Takes the digest of everything hashed so far (even
    // when the check then fails), reads the 68 payload bytes straight from the
    // source (unhashed, but copied) and checks them against the keys in order:
    // the payload is read and its digest compared once, only the curve check
    // runs per key.
    bool check(PartStreambuf& buffer);

    // check() by a verifier made for this one package.
    static bool verify(PartStreambuf& buffer);
    // The same against any one of keyCount keys.
    static bool verify(PartStreambuf& buffer, const uint8_t (*keys)[kCurveKeySize],
                       size_t keyCount);
    // The check itself: the payload must carry the digest of the signed message
    // and a signature by any one of the keys. The digest is compared once, only
    // the curve check runs per key.
    bool checkPayload(const uint8_t digest[kDigestSize], const uint8_t payload[kPayloadSize]);
    static bool verify(const uint8_t digest[kDigestSize], const uint8_t payload[kPayloadSize],
                       const uint8_t (*keys)[kCurveKeySize], size_t keyCount);

    // e = SignatureHash(digest) with r folded into bytes 8..23, clamped as a
    // Curve25519 scalar. The signer forms e the same way.
    static void formChallenge(uint8_t e[kCurveScalarSize], const uint8_t digest[kDigestSize],
                              const uint8_t r[kRSize]);

private:
    struct Key {
        uint8_t bytes[kCurveKeySize];
        bool prepared = false;
        PreparedCurveKey curve;
    };
    std::vector<Key> keys_;
};
