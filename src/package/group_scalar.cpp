#include "package/group_scalar.h"

namespace velmora {

namespace {

constexpr GroupScalar groupOrder = {
    {0x5cf5d3ed, 0x5812631a, 0xa2f79cd6, 0x14def9de, 0x00000000, 0x00000000, 0x00000000, 0x10000000}};

// r - l when r >= l, else r; r < 2 l.
GroupScalar reduceOnce(const GroupScalar& r) {
    GroupScalar difference;
    uint32_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t d = uint64_t(r.word[i]) - groupOrder.word[i] - borrow;
        difference.word[i] = static_cast<uint32_t>(d);
        borrow = static_cast<uint32_t>(d >> 32) & 1;
    }
    uint32_t keep = 0u - borrow;  // all ones when r < l
    GroupScalar out;
    for (int i = 0; i < 8; ++i) {
        out.word[i] = (r.word[i] & keep) | (difference.word[i] & ~keep);
    }
    return out;
}

constexpr uint32_t orderInverse = 0x12547e1b;  // -1 / l modulo 2^32
constexpr GroupScalar montgomeryR2 = {
    {0x449c0f01, 0xa40611e3, 0x68859347, 0xd00e1ba7, 0x17f5be65, 0xceec73d2, 0x7c309a3d, 0x0399411b}};  // 2^512 mod l

// Montgomery reduction: t / 2^256 modulo l, for t < l 2^256 in 16 words.
// Each round adds the multiple of l that clears the lowest word left; all
// of them together stay below l 2^256, so the sum fits the 16 words and its
// upper half is below 2 l.
GroupScalar reduceMontgomery(uint32_t t[16]) {
    for (int i = 0; i < 8; ++i) {
        uint32_t m = t[i] * orderInverse;
        uint64_t carry = 0;
        for (int j = 0; j < 8; ++j) {
            carry += uint64_t(m) * groupOrder.word[j] + t[i + j];
            t[i + j] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        for (int k = i + 8; k < 16; ++k) {
            carry += t[k];
            t[k] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
    }
    GroupScalar r;
    for (int i = 0; i < 8; ++i) {
        r.word[i] = t[8 + i];
    }
    return reduceOnce(r);
}

// a b / 2^256 modulo l.
GroupScalar multiplyMontgomery(const GroupScalar& a, const GroupScalar& b) {
    uint32_t product[16] = {};
    for (int i = 0; i < 8; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < 8; ++j) {
            carry += uint64_t(a.word[i]) * b.word[j] + product[i + j];
            product[i + j] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        product[i + 8] = static_cast<uint32_t>(carry);
    }
    return reduceMontgomery(product);
}

}  // namespace

GroupScalar scalarFromBytes(const uint8_t in[32]) {
    // in / 2^256, then times 2^512 / 2^256: in modulo l.
    uint32_t words[16] = {};
    for (std::size_t i = 0; i < 8; ++i) {
        words[i] = uint32_t(in[4 * i]) | (uint32_t(in[4 * i + 1]) << 8) | (uint32_t(in[4 * i + 2]) << 16) |
                   (uint32_t(in[4 * i + 3]) << 24);
    }
    return multiplyMontgomery(reduceMontgomery(words), montgomeryR2);
}

void scalarToBytes(uint8_t out[32], const GroupScalar& a) {
    for (int i = 0; i < 8; ++i) {
        for (int k = 0; k < 4; ++k) {
            out[4 * i + k] = static_cast<uint8_t>(a.word[i] >> (8 * k));
        }
    }
}

GroupScalar scalarAdd(const GroupScalar& a, const GroupScalar& b) {
    GroupScalar sum;
    uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        carry += uint64_t(a.word[i]) + b.word[i];
        sum.word[i] = static_cast<uint32_t>(carry);
        carry >>= 32;
    }
    return reduceOnce(sum);  // a + b < 2 l < 2^254: no carry out
}

GroupScalar scalarNegate(const GroupScalar& a) {
    GroupScalar out;
    uint32_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        uint64_t d = uint64_t(groupOrder.word[i]) - a.word[i] - borrow;
        out.word[i] = static_cast<uint32_t>(d);
        borrow = static_cast<uint32_t>(d >> 32) & 1;
    }
    return reduceOnce(out);  // l - 0 = l becomes 0
}

GroupScalar scalarSub(const GroupScalar& a, const GroupScalar& b) { return scalarAdd(a, scalarNegate(b)); }

GroupScalar scalarMul(const GroupScalar& a, const GroupScalar& b) {
    return multiplyMontgomery(multiplyMontgomery(a, b), montgomeryR2);
}

GroupScalar scalarInvert(const GroupScalar& a) {
    GroupScalar exponent = groupOrder;
    exponent.word[0] -= 2;  // the low word of l is far above 2
    GroupScalar result = {{1}};
    for (int i = 252; i >= 0; --i) {
        result = scalarMul(result, result);
        if ((exponent.word[i / 32] >> (i % 32)) & 1) {
            result = scalarMul(result, a);
        }
    }
    return result;
}

bool scalarIsZero(const GroupScalar& a) {
    uint32_t any = 0;
    for (uint32_t w : a.word) {
        any |= w;
    }
    return any == 0;
}

}  // namespace velmora
