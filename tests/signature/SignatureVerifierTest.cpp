#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "DevelopmentSigningKey.h"
#include "InstallerPublicKeys.h"
#include "package/PartReader.h"
#include "signature/SignatureVerifier.h"
#include "tools/Signer.h"

namespace {

using Check = std::function<bool(PartStreambuf&)>;

// A package built by hand: header part, a description part the reader skips
// (hashed all the same), then the signature part's header. The digest is SHA-1
// over everything from the header part's header through the signature part's.
struct HandPackage {
    static std::string le32(uint32_t v) {
        return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    }
    static std::string part(uint16_t type, uint32_t length) {
        return le32(type).substr(0, 2) + le32(length);
    }

    explicit HandPackage(uint32_t signatureLength = 68, char headerFill = 'h')
        : hashed(part(1, 32) + std::string(32, headerFill) + part(2, 5) + "about" +
                 part(9, signatureLength)),
          digest(20, '\0') {
        EVP_Digest(hashed.data(), hashed.size(), reinterpret_cast<uint8_t*>(&digest[0]), nullptr,
                   EVP_sha1(), nullptr);
    }
    std::string stream(const std::string& payload) const {
        return le32(0xBAD0F11Eu) + le32(static_cast<uint32_t>(hashed.size() + payload.size())) +
               hashed + payload;
    }
    std::string signedBy(const std::string& secret) const {
        return pkgsign::signDigest(secret, reinterpret_cast<const uint8_t*>(digest.data()));
    }

    std::string hashed;
    std::string digest;
};

struct VerifyRun {
    bool result = false;
    uint32_t remaining = 0;
    std::string digest;  // the digest taken, if any
    std::string copied;  // what the check added to the copy
    std::string unread;  // what it left in the source
};

// Reads the stream up to the signature part as the installer does, then checks.
VerifyRun runVerify(const std::string& stream, const Check& check, bool hashing = true) {
    std::istringstream in(stream);
    std::stringbuf copy;
    PartReader reader(in, hashing, &copy);
    reader.acceptedTypes = {1, 9};
    EXPECT_EQ(reader.nextPart(), 1);
    EXPECT_EQ(reader.nextPart(), 9);
    PartStreambuf& buffer = reader.partBuffer();
    const size_t copiedBefore = copy.str().size();
    const bool result = check(buffer);
    const char* digest = reinterpret_cast<const char*>(buffer.lastDigest());
    return {result,
            buffer.remaining(),
            buffer.digestTaken() ? std::string(digest, 20) : "",
            copy.str().substr(copiedBefore),
            {std::istreambuf_iterator<char>(in.rdbuf()), {}}};
}

Check withKeys(const std::string& flatKeys) {
    return [flatKeys](PartStreambuf& buffer) {
        return SignatureVerifier::verify(
            buffer, reinterpret_cast<const uint8_t(*)[kCurveKeySize]>(flatKeys.data()),
            flatKeys.size() / kCurveKeySize);
    };
}

class SignatureVerifierTest : public ::testing::Test {
protected:
    bool verifies(const HandPackage& p, const std::string& payload, const Check& check) {
        return runVerify(p.stream(payload), check).result;
    }
    const std::string secret = pkgsign::developmentSecretKey();
    const Check byKey = withKeys(pkgsign::publicKeyFor(secret));
    const HandPackage package;
    const std::string payload = package.signedBy(secret);
};

TEST_F(SignatureVerifierTest, PartShapes) {
    // The digest is taken first whenever the reader hashes; the payload is read
    // (and copied) only when the part and the source hold all 68 bytes.
    struct Case {
        const char* name;
        uint32_t partLength;
        size_t sent;        // bytes of the genuine signature in the part
        std::string extra;  // bytes after them
        bool damaged, hashing, ok;
        size_t remaining, unread, copied;  // unread: the last bytes sent, copied: the first
    };
    const std::vector<Case> cases = {
        {"signed", 68, 68, "", false, true, true, 0, 0, 68},
        {"digest mismatch", 68, 68, "", true, true, false, 0, 0, 68},
        {"part too short", 67, 67, "", false, true, false, 67, 67, 0},
        {"part longer", 100, 68, std::string(32, 'w'), false, true, true, 32, 32, 68},
        {"not hashing", 68, 68, "", false, false, false, 68, 68, 0},
        {"source too short", 68, 40, "", false, true, false, 68, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HandPackage shaped(c.partLength);
        std::string sent = shaped.signedBy(secret).substr(0, c.sent) + c.extra;
        if (c.damaged) sent[0] = static_cast<char>(sent[0] ^ 1);
        const VerifyRun run = runVerify(shaped.stream(sent), byKey, c.hashing);
        EXPECT_EQ(run.result, c.ok);
        EXPECT_EQ(run.remaining, c.remaining);
        EXPECT_EQ(run.unread, sent.substr(sent.size() - c.unread));
        EXPECT_EQ(run.copied, sent.substr(0, c.copied));
        EXPECT_EQ(run.digest, c.hashing ? shaped.digest : "");
    }
}

TEST_F(SignatureVerifierTest, SignatureFromAnEarlierBuildStillVerifies) {
    // Made once by the tools with the development key over this very package.
    // Anything that changes how r, e or the hash are formed breaks it, and with
    // it every package signed before the change.
    const std::string hexPayload =
        "16305b9f99626c4b0de244cac8c86d12f09ff55c"                           // digest
        "6dc73045f750904aa969353d5ad01d6f"                                   // r
        "a96ffd3b8501be830aba9646f74df84574adff66ece1a0ef0d179225df4acf0a";  // s
    std::string fixed;
    for (size_t i = 0; i < hexPayload.size(); i += 2)
        fixed += static_cast<char>(std::stoi(hexPayload.substr(i, 2), nullptr, 16));
    ASSERT_EQ(fixed.substr(0, 20), package.digest);
    EXPECT_TRUE(verifies(package, fixed, byKey));
}

TEST_F(SignatureVerifierTest, EveryFlippedBitOfDigestROrSFails) {
    for (size_t bit = 0; bit < 8 * SignatureVerifier::kPayloadSize; ++bit) {
        std::string damaged = payload;
        damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
        ASSERT_FALSE(verifies(package, damaged, byKey)) << "bit " << bit;
    }
    // A genuine signature over other content, with this package's digest put in
    // front, fails on the curve: e binds the digest.
    const HandPackage other(68, 'x');
    std::string foreign = other.signedBy(secret);
    EXPECT_TRUE(verifies(other, foreign, byKey));
    foreign.replace(0, SignatureVerifier::kDigestSize, package.digest);
    EXPECT_FALSE(verifies(package, foreign, byKey));
    // Changed content under an untouched signature fails on the digest.
    EXPECT_FALSE(verifies(other, payload, byKey));
}

TEST_F(SignatureVerifierTest, BuiltInKeysOrAnyOfSeveral) {
    bool developmentKeyBuiltIn = false;
    for (size_t i = 0; i < kInstallerPublicKeyCount; ++i)
        developmentKeyBuiltIn |=
            std::memcmp(kInstallerPublicKeys[i], kDevelopmentPublicKey, 32) == 0;
    const Check builtIn = [](PartStreambuf& b) { return SignatureVerifier::verify(b); };
    const std::string newSecret = pkgsign::generateSecretKey();
    EXPECT_EQ(verifies(package, payload, builtIn), developmentKeyBuiltIn);
    EXPECT_FALSE(verifies(package, package.signedBy(newSecret), builtIn));
    EXPECT_FALSE(verifies(package, package.signedBy(newSecret), byKey));
    EXPECT_FALSE(verifies(package, payload, withKeys("")));
    // A run keeps one verifier, its keys prepared at first use, for every package.
    const std::string keys = pkgsign::publicKeyFor(newSecret) + pkgsign::publicKeyFor(secret);
    SignatureVerifier verifier(reinterpret_cast<const uint8_t(*)[kCurveKeySize]>(keys.data()), 2);
    const Check kept = [&verifier](PartStreambuf& b) { return verifier.check(b); };
    const HandPackage other(68, 'x');
    EXPECT_TRUE(verifies(package, payload, kept));
    EXPECT_FALSE(verifies(other, payload, kept));
    EXPECT_TRUE(verifies(package, package.signedBy(newSecret), kept));
    EXPECT_TRUE(verifies(other, other.signedBy(secret), kept));
    EXPECT_TRUE(verifies(other, other.signedBy(newSecret), kept));
}

}  // namespace
