#include "package/field25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace velmora {
namespace {

using Bytes = std::array<uint8_t, 32>;
using BigNum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

BigNum newBn() { return BigNum(BN_new(), &BN_free); }

BigNum bnFromBytes(const Bytes& bytes) { return BigNum(BN_lebin2bn(bytes.data(), 32, nullptr), &BN_free); }

const BIGNUM* prime() {
    static BIGNUM* p = [] {
        BIGNUM* value = BN_new();
        BN_set_bit(value, 255);
        BN_sub_word(value, 19);
        return value;
    }();
    return p;
}

Bytes bytesOf(const BIGNUM* value) {
    Bytes out{};
    EXPECT_EQ(BN_bn2lebinpad(value, out.data(), 32), 32);
    return out;
}

Bytes encoded(const FieldElement& a) {
    Bytes out{};
    feEncode(out.data(), a);
    return out;
}

// 2^255 - 1 - offset, little-endian.
Bytes belowTop(uint8_t offset) {
    Bytes b;
    b.fill(0xFF);
    b[31] = 0x7F;
    b[0] = static_cast<uint8_t>(0xFF - offset);
    return b;
}

Bytes small(uint8_t value) {
    Bytes b{};
    b[0] = value;
    return b;
}

// Inputs to every operation: the values where reduction goes wrong if it
// goes wrong anywhere (0, 1, p - 1, p, p + 1, 2^255 - 1) and random ones.
std::vector<Bytes> sampleInputs() {
    std::vector<Bytes> inputs = {small(0),       small(1),       small(2),       small(9),
                                 belowTop(19),   belowTop(18),   belowTop(17),   belowTop(0),
                                 belowTop(20),   belowTop(37)};
    std::mt19937 rng(1234);
    for (int i = 0; i < 24; ++i) {
        Bytes b;
        for (auto& x : b) {
            x = static_cast<uint8_t>(rng());
        }
        b[31] &= 0x7F;
        inputs.push_back(b);
    }
    return inputs;
}

// The expected result: BIGNUM arithmetic modulo p.
BigNum modP(const std::function<void(BIGNUM*, BN_CTX*)>& compute) {
    BigNum result = newBn();
    BN_CTX* ctx = BN_CTX_new();
    compute(result.get(), ctx);
    BN_nnmod(result.get(), result.get(), prime(), ctx);
    BN_CTX_free(ctx);
    return result;
}

struct BinaryCase {
    const char* name;
    FieldElement (*field)(const FieldElement&, const FieldElement&);
    std::function<void(BIGNUM*, const BIGNUM*, const BIGNUM*, BN_CTX*)> reference;
};

void PrintTo(const BinaryCase& row, std::ostream* os) { *os << row.name; }

class FieldBinary : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(FieldBinary, AgreesWithBignumModuloP) {
    const BinaryCase& c = GetParam();
    std::vector<Bytes> inputs = sampleInputs();
    for (const Bytes& a : inputs) {
        for (const Bytes& b : inputs) {
            BigNum x = bnFromBytes(a);
            BigNum y = bnFromBytes(b);
            BigNum expected = modP([&](BIGNUM* r, BN_CTX* ctx) { c.reference(r, x.get(), y.get(), ctx); });
            ASSERT_EQ(encoded(c.field(feDecode(a.data()), feDecode(b.data()))), bytesOf(expected.get()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, FieldBinary,
    ::testing::Values(
        BinaryCase{"add", feAdd, [](BIGNUM* r, const BIGNUM* a, const BIGNUM* b, BN_CTX*) { BN_add(r, a, b); }},
        BinaryCase{"sub", feSub, [](BIGNUM* r, const BIGNUM* a, const BIGNUM* b, BN_CTX*) { BN_sub(r, a, b); }},
        BinaryCase{"mul", feMul, [](BIGNUM* r, const BIGNUM* a, const BIGNUM* b, BN_CTX* ctx) { BN_mul(r, a, b, ctx); }}),
    [](const ::testing::TestParamInfo<BinaryCase>& info) { return std::string(info.param.name); });

struct UnaryCase {
    const char* name;
    std::function<FieldElement(const FieldElement&)> field;
    std::function<void(BIGNUM*, const BIGNUM*, BN_CTX*)> reference;
};

void PrintTo(const UnaryCase& row, std::ostream* os) { *os << row.name; }

class FieldUnary : public ::testing::TestWithParam<UnaryCase> {};

TEST_P(FieldUnary, AgreesWithBignumModuloP) {
    const UnaryCase& c = GetParam();
    for (const Bytes& a : sampleInputs()) {
        BigNum x = bnFromBytes(a);
        BigNum expected = modP([&](BIGNUM* r, BN_CTX* ctx) { c.reference(r, x.get(), ctx); });
        ASSERT_EQ(encoded(c.field(feDecode(a.data()))), bytesOf(expected.get()));
    }
}

void powerModP(BIGNUM* r, const BIGNUM* a, int subtract, int shift, BN_CTX* ctx) {
    // a^((p - subtract) >> shift); BN_mod_exp wants a reduced base.
    BigNum exponent = newBn();
    BN_copy(exponent.get(), prime());
    BN_sub_word(exponent.get(), static_cast<BN_ULONG>(subtract));
    BN_rshift(exponent.get(), exponent.get(), shift);
    BigNum base = newBn();
    BN_nnmod(base.get(), a, prime(), ctx);
    BN_mod_exp(r, base.get(), exponent.get(), prime(), ctx);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, FieldUnary,
    ::testing::Values(
        UnaryCase{"square", feSquare, [](BIGNUM* r, const BIGNUM* a, BN_CTX* ctx) { BN_mul(r, a, a, ctx); }},
        UnaryCase{"negate", feNegate, [](BIGNUM* r, const BIGNUM* a, BN_CTX*) {
                      BN_zero(r);
                      BN_sub(r, r, a);
                  }},
        UnaryCase{"mulA24", [](const FieldElement& a) { return feMulSmall(a, 121665); },
                  [](BIGNUM* r, const BIGNUM* a, BN_CTX*) {
                      BN_copy(r, a);
                      BN_mul_word(r, 121665);
                  }},
        UnaryCase{"mulA", [](const FieldElement& a) { return feMulSmall(feAdd(a, a), 486662); },
                  [](BIGNUM* r, const BIGNUM* a, BN_CTX*) {
                      BN_lshift1(r, a);
                      BN_mul_word(r, 486662);
                  }},
        UnaryCase{"invert", feInvert, [](BIGNUM* r, const BIGNUM* a, BN_CTX* ctx) { powerModP(r, a, 2, 0, ctx); }},
        UnaryCase{"powP58", fePowP58, [](BIGNUM* r, const BIGNUM* a, BN_CTX* ctx) { powerModP(r, a, 5, 3, ctx); }}),
    [](const ::testing::TestParamInfo<UnaryCase>& info) { return std::string(info.param.name); });

// Limbs at the documented bound of the multiplication, both signs, which
// no decoded value reaches: the 64-bit sums must not overflow.
TEST(Field, MulTakesLimbsUpToTheBound) {
    std::mt19937 rng(99);
    const int32_t bound = (int32_t(1) << 27) - 1;
    for (int round = 0; round < 200; ++round) {
        FieldElement a;
        FieldElement b;
        for (int i = 0; i < 10; ++i) {
            bool extreme = round < 4;
            int32_t sa = (round & 1) ? -1 : 1;
            int32_t sb = (round & 2) ? -1 : 1;
            a.limb[i] = extreme ? sa * bound : static_cast<int32_t>(rng() % (2u * bound + 1)) - bound;
            b.limb[i] = extreme ? sb * bound : static_cast<int32_t>(rng() % (2u * bound + 1)) - bound;
        }
        auto toBn = [](const FieldElement& f) {
            BigNum value = newBn();
            BigNum term = newBn();
            int offset = 0;
            for (int i = 0; i < 10; ++i) {
                BN_set_word(term.get(), static_cast<BN_ULONG>(f.limb[i] < 0 ? -int64_t(f.limb[i]) : f.limb[i]));
                BN_set_negative(term.get(), f.limb[i] < 0);
                BN_lshift(term.get(), term.get(), offset);
                BN_add(value.get(), value.get(), term.get());
                offset += (i & 1) ? 25 : 26;
            }
            return value;
        };
        BigNum x = toBn(a);
        BigNum y = toBn(b);
        BigNum product = modP([&](BIGNUM* r, BN_CTX* ctx) { BN_mul(r, x.get(), y.get(), ctx); });
        BigNum square = modP([&](BIGNUM* r, BN_CTX* ctx) { BN_mul(r, x.get(), x.get(), ctx); });
        ASSERT_EQ(encoded(feMul(a, b)), bytesOf(product.get())) << "round " << round;
        ASSERT_EQ(encoded(feSquare(a)), bytesOf(square.get())) << "round " << round;
    }
}

TEST(Field, DecodeIgnoresBit255AndReducesValuesFromP) {
    Bytes pPlusOne = belowTop(17);  // 2^255 - 18
    EXPECT_EQ(encoded(feDecode(pPlusOne.data())), small(1));
    Bytes withTopBit = small(5);
    withTopBit[31] = 0x80;
    EXPECT_EQ(encoded(feDecode(withTopBit.data())), small(5));
    Bytes allOnes;
    allOnes.fill(0xFF);
    EXPECT_EQ(encoded(feDecode(allOnes.data())), small(18));  // 2^255 - 1 - p
}

// Parity and equality go by the canonical value, not by the limbs.
TEST(Field, ParityAndEqualityUseTheCanonicalValue) {
    Bytes p = belowTop(18);
    Bytes pMinusOne = belowTop(19);
    FieldElement zero = feFromSmall(0);
    FieldElement one = feFromSmall(1);
    EXPECT_TRUE(feIsZero(feDecode(p.data())));
    EXPECT_TRUE(feIsEven(feDecode(p.data())));                      // p itself is odd
    EXPECT_FALSE(feIsEven(feDecode(belowTop(17).data())));          // p + 1 is 1
    EXPECT_TRUE(feIsEven(feSub(zero, one)));                        // p - 1 is even
    EXPECT_TRUE(feEqual(feSub(zero, one), feDecode(pMinusOne.data())));
    EXPECT_FALSE(feEqual(feSub(zero, one), one));
    EXPECT_TRUE(feEqual(feAdd(feSub(zero, one), one), zero));
    EXPECT_FALSE(feIsZero(one));
}

TEST(Field, ConditionalSwapExchangesOnlyWhenAsked) {
    FieldElement a = feFromSmall(3);
    FieldElement b = feFromSmall(7);
    feConditionalSwap(a, b, 0);
    EXPECT_EQ(encoded(a), small(3));
    feConditionalSwap(a, b, 1);
    EXPECT_EQ(encoded(a), small(7));
    EXPECT_EQ(encoded(b), small(3));
}

}  // namespace
}  // namespace velmora
