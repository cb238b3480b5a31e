#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CurveTestSupport.h"
#include "DevelopmentSigningKey.h"
#include "InstallerPublicKeys.h"
#include "package/PartReader.h"
#include "signature/SignatureVerifier.h"
#include "tools/PackageWriter.h"
#include "tools/Signer.h"

namespace {

constexpr uint32_t kRegularMagic = 0xBAD0F11Eu;

std::string le16(uint16_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8)};
}
std::string le32(uint32_t v) {
    return le16(static_cast<uint16_t>(v)) + le16(v >> 16);
}
std::string partHeader(uint16_t type, uint32_t length) {
    return le16(type) + le32(length);
}

// Through EVP: libcrypto's one-shot function shares its name with the SHA1 class.
std::string sha1(const std::string& data) {
    std::string out(20, '\0');
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), reinterpret_cast<uint8_t*>(&out[0]), &length, EVP_sha1(),
               nullptr);
    return out;
}

// A package built by hand: header part, an unaccepted description part (skipped
// by the reader, hashed all the same), then the signature part. The digest is
// SHA-1 over everything from the header part's header through the signature
// part's header.
struct HandPackage {
    std::string hashed;
    std::string digest;
    std::string signatureHeader;

    explicit HandPackage(uint32_t signatureLength = SignatureVerifier::kPayloadSize,
                         const std::string& headerPayload = std::string(32, 'h')) {
        hashed = partHeader(1, static_cast<uint32_t>(headerPayload.size())) + headerPayload;
        hashed += partHeader(2, 5) + "about";
        signatureHeader = partHeader(9, signatureLength);
        hashed += signatureHeader;
        digest = sha1(hashed);
    }

    // The whole stream with the given signature payload (however long).
    std::string stream(const std::string& payload) const {
        const std::string body = hashed + payload;
        return le32(kRegularMagic) + le32(static_cast<uint32_t>(body.size())) + body;
    }
};

struct VerifyRun {
    bool result = false;
    uint32_t remaining = 0;
    bool digestTaken = false;
    std::string digest;
    std::string copyBefore;  // copy buffer contents when verify was called
    std::string copyAfter;
    std::string unread;  // what verify left in the source
};

// Reads the stream up to the signature part as the installer does, then verifies
// against the given keys (or the built-in ones when keys is null).
VerifyRun runVerify(const std::string& stream, bool hashing,
                    const std::vector<std::string>* keys = nullptr) {
    std::istringstream in(stream);
    std::stringbuf copy;
    PartReader reader(in, hashing, &copy);
    reader.acceptedTypes = {1, 9};
    VerifyRun run;
    EXPECT_EQ(reader.nextPart(), 1);
    EXPECT_EQ(reader.nextPart(), 9);
    PartStreambuf& buffer = reader.partBuffer();
    run.copyBefore = copy.str();
    if (keys == nullptr) {
        run.result = SignatureVerifier::verify(buffer);
    } else {
        std::vector<uint8_t> flat;
        for (const std::string& key : *keys) flat.insert(flat.end(), key.begin(), key.end());
        run.result = SignatureVerifier::verify(
            buffer, reinterpret_cast<const uint8_t(*)[kCurveKeySize]>(flat.data()), keys->size());
    }
    run.remaining = buffer.remaining();
    run.digestTaken = buffer.digestTaken();
    run.digest.assign(reinterpret_cast<const char*>(buffer.lastDigest()), SHA1::kDigestSize);
    run.copyAfter = copy.str();
    run.unread.assign(std::istreambuf_iterator<char>(in.rdbuf()), {});
    return run;
}

class VerifierTest : public ::testing::Test {
protected:
    const std::string secret = pkgsign::developmentSecretKey();
    const std::string key = pkgsign::publicKeyFor(secret);
    const std::vector<std::string> keys{key};
    HandPackage package;
    std::string payload = pkgsign::signDigest(secret, sigtest::bytes(package.digest));
};

TEST_F(VerifierTest, SignedPackageVerifiesAndIsCopied) {
    ASSERT_EQ(payload.size(), SignatureVerifier::kPayloadSize);
    const std::string stream = package.stream(payload);
    const VerifyRun run = runVerify(stream, true, &keys);
    EXPECT_TRUE(run.result);
    EXPECT_TRUE(run.digestTaken);
    EXPECT_EQ(run.digest, package.digest);
    EXPECT_EQ(run.remaining, 0u);
    EXPECT_EQ(run.copyAfter, stream);  // the copy holds every byte, signature included
    EXPECT_EQ(run.unread, "");
}

TEST_F(VerifierTest, SignatureFromAnEarlierBuildStillVerifies) {
    // Made once by the tools with the development key over this very package.
    // Anything that changes how r, e or the hash are formed breaks it, and with
    // it every package signed before the change.
    const std::string hexPayload =
        "16305b9f99626c4b0de244cac8c86d12f09ff55c"                           // digest
        "6dc73045f750904aa969353d5ad01d6f"                                   // r
        "a96ffd3b8501be830aba9646f74df84574adff66ece1a0ef0d179225df4acf0a";  // s
    std::string fixed;
    for (size_t i = 0; i < hexPayload.size(); i += 2) {
        fixed += static_cast<char>(std::stoi(hexPayload.substr(i, 2), nullptr, 16));
    }
    ASSERT_EQ(fixed.substr(0, 20), package.digest);
    EXPECT_TRUE(runVerify(package.stream(fixed), true, &keys).result);
}

TEST_F(VerifierTest, BuiltInKeysAreTheConfiguredOnes) {
    bool developmentKeyBuiltIn = false;
    for (size_t i = 0; i < kInstallerPublicKeyCount; ++i) {
        developmentKeyBuiltIn |=
            std::memcmp(kInstallerPublicKeys[i], kDevelopmentPublicKey, 32) == 0;
    }
    EXPECT_EQ(runVerify(package.stream(payload), true).result, developmentKeyBuiltIn);
}

TEST_F(VerifierTest, EveryFlippedBitOfDigestROrSFails) {
    for (size_t bit = 0; bit < 8 * SignatureVerifier::kPayloadSize; ++bit) {
        std::string damaged = payload;
        damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
        const VerifyRun run = runVerify(package.stream(damaged), true, &keys);
        ASSERT_FALSE(run.result) << "bit " << bit;
        ASSERT_EQ(run.remaining, 0u);
    }
}

TEST_F(VerifierTest, SignatureOfAnotherDigestFails) {
    // A genuine signature over other content, with this package's digest put in
    // front, fails on the curve: e binds the digest.
    HandPackage other(SignatureVerifier::kPayloadSize, std::string(32, 'x'));
    std::string foreign = pkgsign::signDigest(secret, sigtest::bytes(other.digest));
    EXPECT_TRUE(runVerify(other.stream(foreign), true, &keys).result);
    foreign.replace(0, SignatureVerifier::kDigestSize, package.digest);
    EXPECT_FALSE(runVerify(package.stream(foreign), true, &keys).result);
    // Changed content under an untouched signature fails on the digest.
    EXPECT_FALSE(runVerify(other.stream(payload), true, &keys).result);
}

TEST_F(VerifierTest, DigestMismatchFailsAfterCopying) {
    std::string damaged = payload;
    damaged[0] = static_cast<char>(damaged[0] ^ 0x01);
    const VerifyRun run = runVerify(package.stream(damaged), true, &keys);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.copyAfter, run.copyBefore + damaged);
    EXPECT_EQ(run.remaining, 0u);
}

TEST_F(VerifierTest, ShortPartFailsWithoutReading) {
    HandPackage shortPart(67);
    const std::string shortPayload = payload.substr(0, 67);
    const VerifyRun run = runVerify(shortPart.stream(shortPayload), true, &keys);
    EXPECT_FALSE(run.result);
    EXPECT_TRUE(run.digestTaken);  // the digest is taken before the length test
    EXPECT_EQ(run.digest, shortPart.digest);
    EXPECT_EQ(run.remaining, 67u);
    EXPECT_EQ(run.copyAfter, run.copyBefore);
    EXPECT_EQ(run.unread, shortPayload);
}

TEST_F(VerifierTest, LongPartVerifiesFromItsFirst68Bytes) {
    HandPackage longPart(100);
    const std::string longPayload =
        pkgsign::signDigest(secret, sigtest::bytes(longPart.digest)) + std::string(32, '\x77');
    const VerifyRun run = runVerify(longPart.stream(longPayload), true, &keys);
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.remaining, 32u);
    EXPECT_EQ(run.unread, std::string(32, '\x77'));
    EXPECT_EQ(run.copyAfter, run.copyBefore + longPayload.substr(0, 68));
}

TEST_F(VerifierTest, HashingOffFailsAtOnce) {
    const VerifyRun run = runVerify(package.stream(payload), false, &keys);
    EXPECT_FALSE(run.result);
    EXPECT_FALSE(run.digestTaken);
    EXPECT_EQ(run.remaining, SignatureVerifier::kPayloadSize);
    EXPECT_EQ(run.copyAfter, run.copyBefore);
    EXPECT_EQ(run.unread, payload);
}

TEST_F(VerifierTest, ShortSourceCopiesNothing) {
    // The part header promises 68 bytes but the data ends after 40.
    const VerifyRun run = runVerify(package.stream(payload.substr(0, 40)), true, &keys);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.copyAfter, run.copyBefore);
    EXPECT_EQ(run.remaining, SignatureVerifier::kPayloadSize);
}

TEST_F(VerifierTest, AnyOfSeveralKeysAccepts) {
    const std::string newSecret = pkgsign::generateSecretKey();
    const std::string newKey = pkgsign::publicKeyFor(newSecret);
    const std::string newPayload = pkgsign::signDigest(newSecret, sigtest::bytes(package.digest));
    const std::vector<std::string> both{key, newKey}, reversed{newKey, key}, oldOnly{key},
        newOnly{newKey}, none;
    for (const auto* list : {&both, &reversed}) {
        EXPECT_TRUE(runVerify(package.stream(payload), true, list).result);
        EXPECT_TRUE(runVerify(package.stream(newPayload), true, list).result);
    }
    EXPECT_FALSE(runVerify(package.stream(newPayload), true, &oldOnly).result);
    EXPECT_FALSE(runVerify(package.stream(payload), true, &newOnly).result);
    const VerifyRun noKeys = runVerify(package.stream(payload), true, &none);
    EXPECT_FALSE(noKeys.result);
    EXPECT_EQ(noKeys.remaining, 0u);  // read and compared once, whatever the key count
}

TEST_F(VerifierTest, PackagesFromThePackageWriterVerify) {
    pkgwriter::PackageRecipe recipe;
    recipe.name = "signed";
    recipe.version = 0x01020300;
    recipe.description = "a package with files";
    recipe.files.push_back({pkgwriter::EntryType::File, "/bin/tool", 0755, 0, "contents"});
    const std::string file = pkgwriter::writePackage(recipe, &secret);
    std::istringstream in(file);
    PartReader reader(in, true, nullptr);
    reader.acceptedTypes = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
    int32_t type;
    while ((type = reader.nextPart()) != kPartSignature && type != -1) {
    }
    ASSERT_EQ(type, kPartSignature);
    EXPECT_TRUE(SignatureVerifier::verify(reader.partBuffer(),
                                          reinterpret_cast<const uint8_t(*)[32]>(key.data()), 1));
}

}  // namespace
