#include "platform/Sha1.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

static_assert(sizeof(SHA_CTX) <= 128, "SHA_CTX storage too small");

static SHA_CTX* context(unsigned char* storage) { return reinterpret_cast<SHA_CTX*>(storage); }

SHA1::SHA1() { SHA1_Init(context(context_)); }

void SHA1::update(const void* data, size_t length) {
    if (length != 0) SHA1_Update(context(context_), data, length);
}

void SHA1::digest(uint8_t* out) {
    SHA1_Final(out, context(context_));
    SHA1_Init(context(context_));
}
