#pragma once
// 32-byte little-endian numbers for the curve and signature tests, and their
// OpenSSL BIGNUM counterparts, which serve as the reference arithmetic.

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

namespace velmora::test {

using Bytes = std::array<std::uint8_t, 32>;
using BigNum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

inline Bytes fromHex(const std::string& hex) {
    Bytes out{};
    for (std::size_t i = 0; i < 32; ++i)
        out[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return out;
}

template <std::size_t N = 32>
std::array<std::uint8_t, N> randomArray(std::mt19937& rng) {
    std::array<std::uint8_t, N> out;
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

inline Bytes clamped(Bytes scalar) {
    scalar[0] &= 0xF8;
    scalar[31] = static_cast<std::uint8_t>((scalar[31] & 0x7F) | 0x40);
    return scalar;
}

// l, the order of G.
inline const Bytes groupOrder = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

using BnContext = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;
inline BnContext newContext() { return BnContext(BN_CTX_new(), &BN_CTX_free); }
inline BigNum newBn() { return BigNum(BN_new(), &BN_free); }
inline BigNum bnOf(const Bytes& bytes) { return BigNum(BN_lebin2bn(bytes.data(), 32, nullptr), &BN_free); }
inline BigNum bnHex(const char* hex) {
    BIGNUM* value = nullptr;
    BN_hex2bn(&value, hex);
    return BigNum(value, &BN_free);
}
inline Bytes bytesOf(const BIGNUM* value) {
    Bytes out{};
    EXPECT_EQ(BN_bn2lebinpad(value, out.data(), 32), 32);
    return out;
}

}  // namespace velmora::test
