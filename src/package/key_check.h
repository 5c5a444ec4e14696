#pragma once
// Public keys that are no key. The key is all 256 bits of a little-endian
// u-coordinate; refused are values of 2^255 - 19 or more (never generated;
// 2^255 and p itself are further encodings of 0), the points of small
// order that a field element names (0 makes every combination in the check
// 0, so that one r verifies with any v but 0), the base point (a private
// scalar of +-1) and anything off the curve, which fails every package.
//
// One rule for both readers of key files: the build evaluates it at compile
// time over the key it fixes in (generated key_material.cpp), vpa at run
// time over every key file it reads. Hence constexpr, in 32-bit limbs with
// 64-bit products: no 128-bit type, whatever the byte order.

#include <array>
#include <cstdint>
#include <utility>

namespace velmora {

// X(kind, reason), where the reason completes "the public key ...". A list
// macro so that the build's static_asserts can use the reasons as literals.
#define VELMORA_KEY_FAULTS(X)                                                  \
    X(NotReduced, "is 2^255 - 19 or more (not a reduced field element)")       \
    X(Zero, "is u = 0, a point of order 2: any signature would verify")        \
    X(One, "is u = 1, a point of order 4")                                     \
    X(MinusOne, "is u = p - 1, a point of order 4 on the twist")               \
    X(BasePoint, "is u = 9, the base point (a private scalar of 1 or -1)")     \
    X(OrderEight, "is a point of order 8")                                     \
    X(NotOnCurve, "is not on the curve (a point of its twist): no signature could verify")

enum class KeyFault {
    None,
#define VELMORA_KEY_FAULT_NAME(kind, reason) kind,
    VELMORA_KEY_FAULTS(VELMORA_KEY_FAULT_NAME)
#undef VELMORA_KEY_FAULT_NAME
};

constexpr const char* keyFaultText(KeyFault fault) {
    switch (fault) {
#define VELMORA_KEY_FAULT_CASE(kind, reason) \
    case KeyFault::kind:                     \
        return reason;
        VELMORA_KEY_FAULTS(VELMORA_KEY_FAULT_CASE)
#undef VELMORA_KEY_FAULT_CASE
        case KeyFault::None:
            break;
    }
    return "is a usable key";
}

namespace keycheck {

// Least significant limb first.
using Wide = std::array<std::uint32_t, 8>;

constexpr Wide FieldPrime = {0xffffffed, 0xffffffff, 0xffffffff, 0xffffffff,
                             0xffffffff, 0xffffffff, 0xffffffff, 0x7fffffff};
// The two points of order 8 (8P is neutral, 4P is not).
constexpr Wide OrderEightU[2] = {
    {0x7c7aebe0, 0xaeb8413b, 0xfae35616, 0x6ac49ff1, 0xeb8d09da, 0xfdb1329c, 0x16056286, 0x00b8495f},
    {0xbc959c5f, 0x248c50a3, 0x55b1d0b1, 0x5bef839c, 0xc45c4404, 0x868e1c58, 0xdd4e22d8, 0x57119fd0},
};

constexpr bool less(const Wide& a, const Wide& b) {
    for (int i = 7; i >= 0; --i) {
        if (a[i] != b[i]) return a[i] < b[i];
    }
    return false;
}

// a - b for a >= b.
constexpr Wide subtract(Wide a, const Wide& b) {
    std::uint64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        const std::uint64_t difference = std::uint64_t{a[i]} - b[i] - borrow;
        a[i] = static_cast<std::uint32_t>(difference);
        borrow = (difference >> 32) & 1;
    }
    return a;
}

// Adds carry * 38 (2^256 = 38 mod p) until nothing is left over, then
// subtracts p until below it.
constexpr Wide reduce(Wide a, std::uint64_t carry) {
    while (carry != 0) {
        std::uint64_t sum = carry * 38;
        for (std::uint32_t& limb : a) {
            sum += limb;
            limb = static_cast<std::uint32_t>(sum);
            sum >>= 32;
        }
        carry = sum;
    }
    while (!less(a, FieldPrime)) a = subtract(a, FieldPrime);
    return a;
}

// For a, b below p.
constexpr Wide add(const Wide& a, const Wide& b) {
    Wide sum{};
    std::uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        carry += std::uint64_t{a[i]} + b[i];
        sum[i] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    return reduce(sum, carry);
}

constexpr Wide multiply(const Wide& a, const Wide& b) {
    std::array<std::uint32_t, 16> product{};
    for (int i = 0; i < 8; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; j < 8; ++j) {
            carry += product[i + j] + std::uint64_t{a[i]} * b[j];
            product[i + j] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        product[i + 8] = static_cast<std::uint32_t>(carry);
    }
    Wide folded{};
    std::uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        carry += product[i] + std::uint64_t{product[i + 8]} * 38;
        folded[i] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    return reduce(folded, carry);
}

// The Jacobi symbol (a / n) for odd n, by halving and subtracting alone:
// Euler's criterion takes 500 multiplications, which the compiler needs
// about ten times as long to evaluate. Halving a flips the sign when n is
// 3 or 5 mod 8; exchanging odd a and n when both are 3 mod 4.
constexpr int jacobi(Wide a, Wide n) {
    int sign = 1;
    while (a != Wide{0}) {
        while ((a[0] & 1) == 0) {
            for (int i = 0; i < 7; ++i) a[i] = (a[i] >> 1) | (a[i + 1] << 31);
            a[7] >>= 1;
            if ((n[0] & 7) == 3 || (n[0] & 7) == 5) sign = -sign;
        }
        if (less(a, n)) {
            std::swap(a, n);
            if ((a[0] & 3) == 3 && (n[0] & 3) == 3) sign = -sign;
        }
        a = subtract(a, n);
    }
    return n == Wide{1} ? sign : 0;
}

template <class Bytes>
constexpr Wide load(const Bytes& key) {
    Wide u{};
    for (int i = 0; i < 32; ++i) u[i / 4] |= std::uint32_t{key[i]} << (8 * (i % 4));
    return u;
}

constexpr KeyFault fault(const Wide& u) {
    if (!less(u, FieldPrime)) return KeyFault::NotReduced;
    if (u == Wide{0}) return KeyFault::Zero;
    if (u == Wide{1}) return KeyFault::One;
    if (u == subtract(FieldPrime, Wide{1})) return KeyFault::MinusOne;
    if (u == Wide{9}) return KeyFault::BasePoint;
    if (u == OrderEightU[0] || u == OrderEightU[1]) return KeyFault::OrderEight;
    // u^3 + 486662 u^2 + u, nonzero here (u = 0 is its only root in the
    // field), is a square exactly when its Legendre symbol is 1.
    const Wide w = multiply(u, add(multiply(add(u, Wide{486662}), u), Wide{1}));
    if (jacobi(w, FieldPrime) != 1) return KeyFault::NotOnCurve;
    return KeyFault::None;
}

}  // namespace keycheck

constexpr KeyFault publicKeyFault(const std::uint8_t (&key)[32]) { return keycheck::fault(keycheck::load(key)); }
constexpr KeyFault publicKeyFault(const std::array<std::uint8_t, 32>& key) {
    return keycheck::fault(keycheck::load(key));
}

}  // namespace velmora
