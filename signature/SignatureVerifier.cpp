#include "signature/SignatureVerifier.h"

#include <cstring>

#include "InstallerPublicKeys.h"
#include "package/PartReader.h"
#include "signature/SignatureHash.h"

namespace {

constexpr size_t kChallengeFoldOffset = 8;

// The signature holds when the hash of u([s]A + [e]B) starts with r.
bool curveCheck(const PreparedCurveKey& key, const uint8_t e[kCurveScalarSize], const uint8_t* r,
                const uint8_t* s) {
    uint8_t encoded[kCurveEncodingSize];
    doubleScalarMultiple(encoded, key, s, e);
    uint8_t h[kSignatureHashSize];
    SignatureHash::compute(encoded, sizeof encoded, h);
    return std::memcmp(h, r, SignatureVerifier::kRSize) == 0;
}

}  // namespace

void SignatureVerifier::formChallenge(uint8_t e[kCurveScalarSize],
                                      const uint8_t digest[kDigestSize], const uint8_t r[kRSize]) {
    SignatureHash::compute(digest, kDigestSize, e);
    for (size_t i = 0; i < kRSize; ++i) e[kChallengeFoldOffset + i] ^= r[i];
    e[0] &= 0xF8;
    e[31] = static_cast<uint8_t>((e[31] & 0x7F) | 0x40);
}

SignatureVerifier::SignatureVerifier()
    : SignatureVerifier(kInstallerPublicKeys, kInstallerPublicKeyCount) {}

SignatureVerifier::SignatureVerifier(const uint8_t (*keys)[kCurveKeySize], size_t keyCount)
    : keys_(keyCount) {
    for (size_t i = 0; i < keyCount; ++i) std::memcpy(keys_[i].bytes, keys[i], kCurveKeySize);
}

bool SignatureVerifier::verify(PartStreambuf& buffer) {
    return SignatureVerifier().check(buffer);
}

bool SignatureVerifier::verify(PartStreambuf& buffer, const uint8_t (*keys)[kCurveKeySize],
                               size_t keyCount) {
    return SignatureVerifier(keys, keyCount).check(buffer);
}

bool SignatureVerifier::check(PartStreambuf& buffer) {
    // The digest covers the package up to and including this part's header; take
    // it before anything else so the reader's state is the same on every failure.
    uint8_t digest[kDigestSize];
    if (!buffer.takeDigest(digest)) return false;
    // The signature bytes are not part of what is signed.
    uint8_t payload[kPayloadSize];
    if (!buffer.readUnhashed(payload, kPayloadSize)) return false;
    return checkPayload(digest, payload);
}

bool SignatureVerifier::verify(const uint8_t digest[kDigestSize],
                               const uint8_t payload[kPayloadSize],
                               const uint8_t (*keys)[kCurveKeySize], size_t keyCount) {
    return SignatureVerifier(keys, keyCount).checkPayload(digest, payload);
}

bool SignatureVerifier::checkPayload(const uint8_t digest[kDigestSize],
                                     const uint8_t payload[kPayloadSize]) {
    if (std::memcmp(payload, digest, kDigestSize) != 0) return false;

    const uint8_t* r = payload + kROffset;
    const uint8_t* s = payload + kSOffset;
    uint8_t e[kCurveScalarSize];
    formChallenge(e, payload, r);
    // A key is prepared only when a package gets as far as needing it: runs that
    // check nothing, or that the first key satisfies, never pay for the others.
    for (Key& key : keys_) {
        if (!key.prepared) {
            prepareCurveKey(key.curve, key.bytes);
            key.prepared = true;
        }
        if (curveCheck(key.curve, e, r, s)) return true;
    }
    return false;
}
