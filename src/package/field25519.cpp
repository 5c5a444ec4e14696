#include "package/field25519.h"

namespace velmora {

namespace {

constexpr int limbBits(int i) { return (i & 1) ? 25 : 26; }

// Multiplying instead of shifting keeps negative values well defined.
constexpr int64_t scale26 = int64_t(1) << 26;
constexpr int64_t scale25 = int64_t(1) << 25;

inline void carryAt(int64_t h[10], int i) {
    if (limbBits(i) == 26) {
        int64_t carry = (h[i] + (int64_t(1) << 25)) >> 26;
        h[i + 1] += carry;
        h[i] -= carry * scale26;
    } else {
        int64_t carry = (h[i] + (int64_t(1) << 24)) >> 25;
        h[i + 1] += carry;
        h[i] -= carry * scale25;
    }
}

// Brings 64-bit limbs (each below 2^62.5 in magnitude) into carried form.
// The carries run in two interleaved chains so that every limb ends small;
// the carry out of limb 9 weighs 2^255 = 19 modulo p.
FieldElement carryLimbs(int64_t h[10]) {
    carryAt(h, 0);
    carryAt(h, 4);
    carryAt(h, 1);
    carryAt(h, 5);
    carryAt(h, 2);
    carryAt(h, 6);
    carryAt(h, 3);
    carryAt(h, 7);
    carryAt(h, 4);
    carryAt(h, 8);
    int64_t carry = (h[9] + (int64_t(1) << 24)) >> 25;
    h[0] += carry * 19;
    h[9] -= carry * scale25;
    carryAt(h, 0);
    FieldElement out;
    for (int i = 0; i < 10; ++i) {
        out.limb[i] = static_cast<int32_t>(h[i]);
    }
    return out;
}

// z^(2^250 - 1) and z^11, the common stem of both exponentiations.
void powStem(const FieldElement& z, FieldElement& z250, FieldElement& z11) {
    auto squareTimes = [](FieldElement a, int n) {
        for (int i = 0; i < n; ++i) {
            a = feSquare(a);
        }
        return a;
    };
    FieldElement z2 = feSquare(z);
    FieldElement z9 = feMul(squareTimes(z2, 2), z);
    z11 = feMul(z9, z2);
    FieldElement z5 = feMul(feSquare(z11), z9);           // 2^5 - 1
    FieldElement z10 = feMul(squareTimes(z5, 5), z5);     // 2^10 - 1
    FieldElement z20 = feMul(squareTimes(z10, 10), z10);  // 2^20 - 1
    FieldElement z40 = feMul(squareTimes(z20, 20), z20);  // 2^40 - 1
    FieldElement z50 = feMul(squareTimes(z40, 10), z10);  // 2^50 - 1
    FieldElement z100 = feMul(squareTimes(z50, 50), z50);     // 2^100 - 1
    FieldElement z200 = feMul(squareTimes(z100, 100), z100);  // 2^200 - 1
    z250 = feMul(squareTimes(z200, 50), z50);                 // 2^250 - 1
}

inline int64_t m(int32_t a, int32_t b) { return int64_t(a) * b; }

}  // namespace

FieldElement feFromSmall(uint32_t value) {
    FieldElement out{};
    out.limb[0] = static_cast<int32_t>(value & 0x3FFFFFF);
    out.limb[1] = static_cast<int32_t>(value >> 26);
    return out;
}

FieldElement feAdd(const FieldElement& a, const FieldElement& b) {
    FieldElement out;
    for (int i = 0; i < 10; ++i) {
        out.limb[i] = a.limb[i] + b.limb[i];
    }
    return out;
}

FieldElement feSub(const FieldElement& a, const FieldElement& b) {
    FieldElement out;
    for (int i = 0; i < 10; ++i) {
        out.limb[i] = a.limb[i] - b.limb[i];
    }
    return out;
}

FieldElement feNegate(const FieldElement& a) {
    FieldElement out;
    for (int i = 0; i < 10; ++i) {
        out.limb[i] = -a.limb[i];
    }
    return out;
}

// Limb weights add up except when both indices are odd: limb i weighs
// 2^ceil(25.5 i), so two odd limbs give twice the weight of limb i + j --
// hence the doubled odd limbs d. Terms at or past 2^255 fold back with the
// factor 19. With all limbs below 2^27 every sum stays below 2^63.
FieldElement feMul(const FieldElement& f, const FieldElement& g) {
    const int32_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3], f4 = f.limb[4];
    const int32_t f5 = f.limb[5], f6 = f.limb[6], f7 = f.limb[7], f8 = f.limb[8], f9 = f.limb[9];
    const int32_t g0 = g.limb[0], g1 = g.limb[1], g2 = g.limb[2], g3 = g.limb[3], g4 = g.limb[4];
    const int32_t g5 = g.limb[5], g6 = g.limb[6], g7 = g.limb[7], g8 = g.limb[8], g9 = g.limb[9];
    const int32_t d1 = 2 * f1, d3 = 2 * f3, d5 = 2 * f5, d7 = 2 * f7, d9 = 2 * f9;
    int64_t h[10];
    h[0] = m(f0, g0) +
           19 * (m(d1, g9) + m(f2, g8) + m(d3, g7) + m(f4, g6) + m(d5, g5) + m(f6, g4) + m(d7, g3) +
               m(f8, g2) + m(d9, g1));
    h[1] = m(f0, g1) + m(f1, g0) +
           19 * (m(f2, g9) + m(f3, g8) + m(f4, g7) + m(f5, g6) + m(f6, g5) + m(f7, g4) + m(f8, g3) +
               m(f9, g2));
    h[2] = m(f0, g2) + m(d1, g1) + m(f2, g0) +
           19 * (m(d3, g9) + m(f4, g8) + m(d5, g7) + m(f6, g6) + m(d7, g5) + m(f8, g4) + m(d9, g3));
    h[3] = m(f0, g3) + m(f1, g2) + m(f2, g1) + m(f3, g0) +
           19 * (m(f4, g9) + m(f5, g8) + m(f6, g7) + m(f7, g6) + m(f8, g5) + m(f9, g4));
    h[4] = m(f0, g4) + m(d1, g3) + m(f2, g2) + m(d3, g1) + m(f4, g0) +
           19 * (m(d5, g9) + m(f6, g8) + m(d7, g7) + m(f8, g6) + m(d9, g5));
    h[5] = m(f0, g5) + m(f1, g4) + m(f2, g3) + m(f3, g2) + m(f4, g1) + m(f5, g0) +
           19 * (m(f6, g9) + m(f7, g8) + m(f8, g7) + m(f9, g6));
    h[6] = m(f0, g6) + m(d1, g5) + m(f2, g4) + m(d3, g3) + m(f4, g2) + m(d5, g1) + m(f6, g0) +
           19 * (m(d7, g9) + m(f8, g8) + m(d9, g7));
    h[7] = m(f0, g7) + m(f1, g6) + m(f2, g5) + m(f3, g4) + m(f4, g3) + m(f5, g2) + m(f6, g1) + m(f7, g0) +
           19 * (m(f8, g9) + m(f9, g8));
    h[8] = m(f0, g8) + m(d1, g7) + m(f2, g6) + m(d3, g5) + m(f4, g4) + m(d5, g3) + m(f6, g2) + m(d7, g1) +
               m(f8, g0) +
           19 * (m(d9, g9));
    h[9] = m(f0, g9) + m(f1, g8) + m(f2, g7) + m(f3, g6) + m(f4, g5) + m(f5, g4) + m(f6, g3) + m(f7, g2) +
               m(f8, g1) + m(f9, g0);
    return carryLimbs(h);
}

// As feMul with g = f, each cross product taken once with a doubled
// factor t.
FieldElement feSquare(const FieldElement& f) {
    const int32_t f0 = f.limb[0], f1 = f.limb[1], f2 = f.limb[2], f3 = f.limb[3], f4 = f.limb[4];
    const int32_t f5 = f.limb[5], f6 = f.limb[6], f7 = f.limb[7], f8 = f.limb[8], f9 = f.limb[9];
    const int32_t t1 = 2 * f1, t2 = 2 * f2, t3 = 2 * f3, t4 = 2 * f4, t5 = 2 * f5;
    const int32_t t6 = 2 * f6, t7 = 2 * f7, t8 = 2 * f8, t9 = 2 * f9;
    int64_t h[10];
    h[0] = m(f0, f0) +
           19 * (m(t1, t9) + m(f2, t8) + m(t3, t7) + m(f4, t6) + m(f5, t5));
    h[1] = m(f0, t1) +
           19 * (m(f2, t9) + m(f3, t8) + m(f4, t7) + m(f5, t6));
    h[2] = m(f0, t2) + m(f1, t1) +
           19 * (m(t3, t9) + m(f4, t8) + m(t5, t7) + m(f6, f6));
    h[3] = m(f0, t3) + m(f1, t2) +
           19 * (m(f4, t9) + m(f5, t8) + m(f6, t7));
    h[4] = m(f0, t4) + m(t1, t3) + m(f2, f2) +
           19 * (m(t5, t9) + m(f6, t8) + m(f7, t7));
    h[5] = m(f0, t5) + m(f1, t4) + m(f2, t3) +
           19 * (m(f6, t9) + m(f7, t8));
    h[6] = m(f0, t6) + m(t1, t5) + m(f2, t4) + m(f3, t3) +
           19 * (m(t7, t9) + m(f8, f8));
    h[7] = m(f0, t7) + m(f1, t6) + m(f2, t5) + m(f3, t4) +
           19 * (m(f8, t9));
    h[8] = m(f0, t8) + m(t1, t7) + m(f2, t6) + m(t3, t5) + m(f4, f4) +
           19 * (m(f9, t9));
    h[9] = m(f0, t9) + m(f1, t8) + m(f2, t7) + m(f3, t6) + m(f4, t5);
    return carryLimbs(h);
}

FieldElement feMulSmall(const FieldElement& a, uint32_t factor) {
    int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        h[i] = int64_t(a.limb[i]) * int64_t(factor);
    }
    return carryLimbs(h);
}

FieldElement feInvert(const FieldElement& a) {
    FieldElement z250;
    FieldElement z11;
    powStem(a, z250, z11);
    FieldElement t = z250;
    for (int i = 0; i < 5; ++i) {
        t = feSquare(t);
    }
    return feMul(t, z11);  // 2^255 - 32 + 11 = p - 2
}

FieldElement fePowP58(const FieldElement& a) {
    FieldElement z250;
    FieldElement z11;
    powStem(a, z250, z11);
    return feMul(feSquare(feSquare(z250)), a);  // 2^252 - 3
}

void feConditionalSwap(FieldElement& a, FieldElement& b, uint32_t swap) {
    int32_t mask = -static_cast<int32_t>(swap & 1);
    for (int i = 0; i < 10; ++i) {
        int32_t x = (a.limb[i] ^ b.limb[i]) & mask;
        a.limb[i] ^= x;
        b.limb[i] ^= x;
    }
}

void feEncode(uint8_t out[32], const FieldElement& a) {
    int64_t h[10];
    for (int i = 0; i < 10; ++i) {
        h[i] = a.limb[i];
    }
    FieldElement c = carryLimbs(h);
    for (int i = 0; i < 10; ++i) {
        h[i] = c.limb[i];
    }
    // Carried, |h| < p, so h / p rounds down to -1 or 0, and
    // q = floor((h + 19) / 2^255) tells whether h is negative or at least p:
    // h - q p is then in [0, p).
    int64_t q = (19 * h[9] + (int64_t(1) << 24)) >> 25;
    for (int i = 0; i < 10; ++i) {
        q = (h[i] + q) >> limbBits(i);
    }
    h[0] += 19 * q;
    // Floor carries leave every limb non-negative; the carry out of the top
    // limb is the q * 2^255 being subtracted.
    for (int i = 0; i < 9; ++i) {
        int64_t carry = h[i] >> limbBits(i);
        h[i + 1] += carry;
        h[i] -= carry * ((limbBits(i) == 26) ? scale26 : scale25);
    }
    h[9] -= (h[9] >> 25) * scale25;

    uint64_t bits = 0;
    int bitCount = 0;
    int n = 0;
    for (int i = 0; i < 10; ++i) {
        bits |= static_cast<uint64_t>(h[i]) << bitCount;
        bitCount += limbBits(i);
        while (bitCount >= 8) {
            out[n++] = static_cast<uint8_t>(bits & 0xFF);
            bits >>= 8;
            bitCount -= 8;
        }
    }
    out[n] = static_cast<uint8_t>(bits);  // the last 7 bits; bit 255 is 0
}

FieldElement feDecode(const uint8_t in[32]) {
    FieldElement out;
    int offset = 0;
    for (int i = 0; i < 10; ++i) {
        int width = limbBits(i);
        uint64_t window = 0;
        int first = offset / 8;
        for (int k = 0; k < 5 && first + k < 32; ++k) {
            window |= static_cast<uint64_t>(in[first + k]) << (8 * k);
        }
        window >>= offset % 8;
        out.limb[i] = static_cast<int32_t>(window & ((uint64_t(1) << width) - 1));
        offset += width;
    }
    return out;  // limb 9 covers bits 230 to 254: bit 255 is left out
}

bool feIsEven(const FieldElement& a) {
    uint8_t bytes[32];
    feEncode(bytes, a);
    return (bytes[0] & 1) == 0;
}

bool feIsZero(const FieldElement& a) {
    uint8_t bytes[32];
    feEncode(bytes, a);
    uint8_t any = 0;
    for (uint8_t b : bytes) {
        any |= b;
    }
    return any == 0;
}

bool feEqual(const FieldElement& a, const FieldElement& b) {
    return feIsZero(feSub(a, b));
}

}  // namespace velmora
