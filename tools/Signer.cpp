#include "tools/Signer.h"

#include <openssl/rand.h>

// Interim version: the interfaces are final, the curve arithmetic lands next.
namespace pkgsign {

std::string generateSecretKey() {
    unsigned char bytes[kSecretKeySize];
    RAND_bytes(bytes, sizeof bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string publicKeyFor(const std::string&) { return std::string(kPublicKeySize, '\0'); }

std::string signDigest(const std::string&, const uint8_t digest[20]) {
    std::string out(reinterpret_cast<const char*>(digest), 20);
    out.append(kSignaturePayloadSize - 20, '\0');
    return out;
}

std::string developmentSecretKey() { return std::string(kSecretKeySize, '\0'); }

}  // namespace pkgsign
