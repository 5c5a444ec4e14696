#include "package/package_hash.h"

namespace velmora {

namespace {

inline uint32_t rotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t loadBe32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void storeBe32(uint8_t* p, uint32_t x) {
    p[0] = static_cast<uint8_t>(x >> 24);
    p[1] = static_cast<uint8_t>(x >> 16);
    p[2] = static_cast<uint8_t>(x >> 8);
    p[3] = static_cast<uint8_t>(x);
}

void compress(uint32_t state[8], const uint8_t block[64], const uint32_t k[64]) {
    uint32_t w[64];
    for (std::size_t t = 0; t < 16; ++t) {
        w[t] = loadBe32(block + 4 * t);
    }
    for (int t = 16; t < 64; ++t) {
        uint32_t s0 = rotateRight(w[t - 15], 7) ^ rotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotateRight(w[t - 2], 17) ^ rotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
        uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        uint32_t choose = (e & f) ^ (~e & g);
        uint32_t t1 = h + sum1 + choose + k[t] + w[t];
        uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = sum0 + majority;
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

void packageHash(const uint8_t* bytes, size_t length, uint8_t out[32],
                 const PackageHashConstants& constants) {
    uint32_t state[8];
    for (int i = 0; i < 8; ++i) {
        state[i] = constants.h[i];
    }
    size_t whole = length / 64;
    for (size_t i = 0; i < whole; ++i) {
        compress(state, bytes + 64 * i, constants.k);
    }

    // The tail, the 0x80 byte and the 64-bit bit length take one block, or
    // two when fewer than 9 bytes are left after the tail.
    uint8_t last[128] = {};
    size_t tail = length % 64;
    for (size_t i = 0; i < tail; ++i) {
        last[i] = bytes[64 * whole + i];
    }
    last[tail] = 0x80;
    size_t lastLength = (tail < 56) ? 64 : 128;
    // length * 8 as a 64-bit number, without assuming size_t is 64 bits.
    uint64_t bitLength = static_cast<uint64_t>(length) * 8u;
    storeBe32(last + lastLength - 8, static_cast<uint32_t>(bitLength >> 32));
    storeBe32(last + lastLength - 4, static_cast<uint32_t>(bitLength));
    compress(state, last, constants.k);
    if (lastLength == 128) {
        compress(state, last + 64, constants.k);
    }

    for (std::size_t i = 0; i < 8; ++i) {
        storeBe32(out + 4 * i, state[i]);
    }
}

const PackageHashConstants& sha256Constants() {
    static const PackageHashConstants constants = {
        {0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
         0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
         0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
         0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
         0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
         0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
         0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
         0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2},
        {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
    };
    return constants;
}

}  // namespace velmora
