#include "signature/SignatureHash.h"

#include "platform/ByteOrder.h"

// Both tables in one place, as the signer and the installer must agree on them.
const SignatureHashTables kSignatureHashTables = {
    // round constants, cube roots of the primes 313 .. 719
    {
        0xca273ece, 0xd186b8c7, 0xeada7dd6, 0xf57d4f7f, 0x06f067aa, 0x0a637dc5, 0x113f9804,
        0x1b710b35, 0x28db77f5, 0x32caab7b, 0x3c9ebe0a, 0x431d67c4, 0x4cc5d4be, 0x597f299c,
        0x5fcb6fab, 0x6c44198c, 0x7ba0ea2d, 0x7eabf2d0, 0x8dbe8d03, 0x90bb1721, 0x99a2ad45,
        0x9f86e289, 0xa84c4472, 0xb3df34fc, 0xb99bb8d7, 0xbc76cbab, 0xc226a69a, 0xd304f19a,
        0xde1be20a, 0xe39bb437, 0xee84927c, 0xf3edd277, 0xfbfdfe53, 0x0bee2c7a, 0x0e90181c,
        0x25f57204, 0x2da45582, 0x3a52c34c, 0x41dc0172, 0x495796fc, 0x4bd31fc6, 0x533cde21,
        0x5f7abfe3, 0x66c206b3, 0x6dfcc6bc, 0x7062f20f, 0x778d5127, 0x7eaba3cc, 0x8363eccc,
        0x85be1c25, 0x93c04028, 0x9f4a205f, 0xa1953565, 0xa627bb0f, 0xacfa8089, 0xb3c29b23,
        0xb602f6fa, 0xc36cee0a, 0xc7dc81ee, 0xce7b8471, 0xd740288c, 0xe21dba7a, 0xeabbff66,
        0xf56a9e60,
    },
    // initial value, square roots of the primes 23 .. 53
    {0xcbbb9d5d, 0x629a292a, 0x9159015a, 0x152fecd8, 0x67332667, 0x8eb44a87, 0xdb0c2e0d,
     0x47b5481d},
};

namespace {

constexpr size_t kBlockSize = 64;
constexpr size_t kLengthFieldSize = 8;

inline uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void compress(uint32_t state[kSignatureHashStateWords], const uint32_t k[kSignatureHashRounds],
              const uint8_t block[kBlockSize]) {
    uint32_t w[kSignatureHashRounds];
    for (size_t i = 0; i < 16; ++i) w[i] = load32be(block + 4 * i);
    for (size_t i = 16; i < kSignatureHashRounds; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (size_t i = 0; i < kSignatureHashRounds; ++i) {
        const uint32_t bigSigma1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        const uint32_t choose = (e & f) ^ (~e & g);
        const uint32_t t1 = h + bigSigma1 + choose + k[i] + w[i];
        const uint32_t bigSigma0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = bigSigma0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void SignatureHash::compute(const uint8_t* data, size_t length, uint8_t out[kSignatureHashSize]) {
    computeWith(kSignatureHashTables, data, length, out);
}

void SignatureHash::computeWith(const SignatureHashTables& tables, const uint8_t* data,
                                size_t length, uint8_t out[kSignatureHashSize]) {
    uint32_t state[kSignatureHashStateWords];
    for (size_t i = 0; i < kSignatureHashStateWords; ++i) state[i] = tables.initialValue[i];

    size_t offset = 0;
    for (; length - offset >= kBlockSize; offset += kBlockSize) {
        compress(state, tables.roundConstants, data + offset);
    }
    // Padding: 0x80, zeros, then the bit length in the last 8 bytes; one or two
    // blocks depending on whether the length field still fits.
    uint8_t tail[2 * kBlockSize] = {};
    const size_t rest = length - offset;
    for (size_t i = 0; i < rest; ++i) tail[i] = data[offset + i];
    tail[rest] = 0x80;
    const size_t tailSize = rest + 1 + kLengthFieldSize <= kBlockSize ? kBlockSize : 2 * kBlockSize;
    store64be(tail + tailSize - kLengthFieldSize, static_cast<uint64_t>(length) * 8);
    for (size_t i = 0; i < tailSize; i += kBlockSize)
        compress(state, tables.roundConstants, tail + i);

    for (size_t i = 0; i < kSignatureHashStateWords; ++i) store32be(out + 4 * i, state[i]);
}
