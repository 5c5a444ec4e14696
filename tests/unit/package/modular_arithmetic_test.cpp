// Arithmetic modulo p = 2^255 - 19 (the field) and modulo the group order l
// (the signer's scalars), every operation compared with OpenSSL's BIGNUM.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "crypto_support.h"
#include "package/field25519.h"
#include "package/group_scalar.h"

namespace velmora {
namespace {

using namespace velmora::test;

const BIGNUM* fieldPrime() {
    static const BigNum p = bnHex("7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
    return p.get();
}

const BIGNUM* order() {
    static const BigNum l = bnOf(groupOrder);
    return l.get();
}

Bytes enc(const FieldElement& a) {
    Bytes out{};
    feEncode(out.data(), a);
    return out;
}
Bytes enc(const GroupScalar& a) {
    Bytes out{};
    scalarToBytes(out.data(), a);
    return out;
}
Bytes flag(bool value) { return Bytes{value}; }
FieldElement fe(const Bytes& b) { return feDecode(b.data()); }
GroupScalar sc(const Bytes& b) { return scalarFromBytes(b.data()); }

// The values where reduction goes wrong if it goes wrong anywhere (0, 1,
// m - 2 to m + 1 of both moduli, 2^255 - 1, 2^256 - 1) and random ones, half
// of them with bit 255 set, which the field ignores.
std::vector<Bytes> sampleInputs() {
    std::vector<Bytes> inputs = {Bytes{0}, Bytes{1}, Bytes{2}, Bytes{9}};
    for (const BIGNUM* m : {fieldPrime(), order()}) {
        for (int delta : {-2, -1, 0, 1}) {
            BigNum v(BN_dup(m), &BN_free);
            BN_sub_word(v.get(), 2);
            BN_add_word(v.get(), static_cast<BN_ULONG>(delta + 2));
            inputs.push_back(bytesOf(v.get()));
        }
    }
    Bytes top;
    top.fill(0xFF);
    inputs.push_back(top);
    top[31] = 0x7F;
    inputs.push_back(top);
    std::mt19937 rng(1234);
    for (int i = 0; i < 22; ++i) inputs.push_back(randomArray(rng));
    return inputs;
}

// a^((m - subtract) >> shift) modulo m.
void power(BIGNUM* r, const BIGNUM* a, const BIGNUM* m, BN_ULONG subtract, int shift, BN_CTX* ctx) {
    BigNum exponent(BN_dup(m), &BN_free);
    BN_sub_word(exponent.get(), subtract);
    BN_rshift(exponent.get(), exponent.get(), shift);
    BN_mod_exp(r, a, exponent.get(), m, ctx);
}

// r before its reduction modulo m, from the residues a and b.
using Reference = std::function<void(BIGNUM* r, const BIGNUM* a, const BIGNUM* b, BN_CTX*)>;
using Bn = BIGNUM*;
using In = const BIGNUM*;

struct Operation {
    const char* name;
    const BIGNUM* (*modulus)();
    bool binary;
    std::function<Bytes(const Bytes&, const Bytes&)> ours;
    Reference reference;
};

void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }

class ModularArithmetic : public ::testing::TestWithParam<Operation> {};

TEST_P(ModularArithmetic, AgreesWithBignum) {
    const Operation& op = GetParam();
    const BIGNUM* m = op.modulus();
    BnContext ctx = newContext();
    auto residue = [&](const Bytes& bytes) {
        BigNum x = bnOf(bytes);
        if (m == fieldPrime()) BN_clear_bit(x.get(), 255);
        BN_nnmod(x.get(), x.get(), m, ctx.get());
        return x;
    };
    const std::vector<Bytes> inputs = sampleInputs();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        for (std::size_t j = 0; j < (op.binary ? inputs.size() : 1); ++j) {
            BigNum a = residue(inputs[i]);
            BigNum b = residue(inputs[j]);
            BigNum expected = newBn();
            op.reference(expected.get(), a.get(), b.get(), ctx.get());
            BN_nnmod(expected.get(), expected.get(), m, ctx.get());
            ASSERT_EQ(op.ours(inputs[i], inputs[j]), bytesOf(expected.get())) << "inputs " << i << ", " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ModularArithmetic,
    ::testing::Values(
        Operation{"fieldAdd", fieldPrime, true, [](auto& a, auto& b) { return enc(feAdd(fe(a), fe(b))); },
                  [](Bn r, In a, In b, BN_CTX*) { BN_add(r, a, b); }},
        Operation{"fieldSub", fieldPrime, true, [](auto& a, auto& b) { return enc(feSub(fe(a), fe(b))); },
                  [](Bn r, In a, In b, BN_CTX*) { BN_sub(r, a, b); }},
        Operation{"fieldMul", fieldPrime, true, [](auto& a, auto& b) { return enc(feMul(fe(a), fe(b))); },
                  [](Bn r, In a, In b, BN_CTX* ctx) { BN_mul(r, a, b, ctx); }},
        Operation{"fieldSquare", fieldPrime, false, [](auto& a, auto&) { return enc(feSquare(fe(a))); },
                  [](Bn r, In a, In, BN_CTX* ctx) { BN_mul(r, a, a, ctx); }},
        Operation{"fieldNegate", fieldPrime, false, [](auto& a, auto&) { return enc(feNegate(fe(a))); },
                  [](Bn r, In a, In, BN_CTX*) { BN_zero(r); BN_sub(r, r, a); }},
        Operation{"fieldMulA24", fieldPrime, false, [](auto& a, auto&) { return enc(feMulSmall(fe(a), 121665)); },
                  [](Bn r, In a, In, BN_CTX*) { BN_copy(r, a); BN_mul_word(r, 121665); }},
        // A sum of two elements times A, as the lift computes it.
        Operation{"fieldMulA", fieldPrime, false,
                  [](auto& a, auto&) { return enc(feMulSmall(feAdd(fe(a), fe(a)), 486662)); },
                  [](Bn r, In a, In, BN_CTX*) { BN_lshift1(r, a); BN_mul_word(r, 486662); }},
        Operation{"fieldInvert", fieldPrime, false, [](auto& a, auto&) { return enc(feInvert(fe(a))); },
                  [](Bn r, In a, In, BN_CTX* ctx) { power(r, a, fieldPrime(), 2, 0, ctx); }},
        Operation{"fieldPowP58", fieldPrime, false, [](auto& a, auto&) { return enc(fePowP58(fe(a))); },
                  [](Bn r, In a, In, BN_CTX* ctx) { power(r, a, fieldPrime(), 5, 3, ctx); }},
        // The predicates go by the canonical value, whatever the limbs hold.
        Operation{"fieldIsZero", fieldPrime, false, [](auto& a, auto&) { return flag(feIsZero(fe(a))); },
                  [](Bn r, In a, In, BN_CTX*) { BN_set_word(r, BN_is_zero(a)); }},
        Operation{"fieldEqual", fieldPrime, true, [](auto& a, auto& b) { return flag(feEqual(fe(a), fe(b))); },
                  [](Bn r, In a, In b, BN_CTX*) { BN_set_word(r, BN_cmp(a, b) == 0); }},
        Operation{"fieldDifferenceIsEven", fieldPrime, true,
                  [](auto& a, auto& b) { return flag(feIsEven(feSub(fe(a), fe(b)))); },
                  [](Bn r, In a, In b, BN_CTX* ctx) {
                      BN_mod_sub(r, a, b, fieldPrime(), ctx);
                      BN_set_word(r, !BN_is_odd(r));
                  }},
        Operation{"scalarFromBytes", order, false, [](auto& a, auto&) { return enc(sc(a)); },
                  [](Bn r, In a, In, BN_CTX*) { BN_copy(r, a); }},
        Operation{"scalarAdd", order, true, [](auto& a, auto& b) { return enc(scalarAdd(sc(a), sc(b))); },
                  [](Bn r, In a, In b, BN_CTX*) { BN_add(r, a, b); }},
        Operation{"scalarSub", order, true, [](auto& a, auto& b) { return enc(scalarSub(sc(a), sc(b))); },
                  [](Bn r, In a, In b, BN_CTX*) { BN_sub(r, a, b); }},
        Operation{"scalarMul", order, true, [](auto& a, auto& b) { return enc(scalarMul(sc(a), sc(b))); },
                  [](Bn r, In a, In b, BN_CTX* ctx) { BN_mul(r, a, b, ctx); }},
        Operation{"scalarNegate", order, false, [](auto& a, auto&) { return enc(scalarNegate(sc(a))); },
                  [](Bn r, In a, In, BN_CTX*) { BN_zero(r); BN_sub(r, r, a); }},
        Operation{"scalarInvert", order, false, [](auto& a, auto&) { return enc(scalarInvert(sc(a))); },
                  [](Bn r, In a, In, BN_CTX* ctx) { power(r, a, order(), 2, 0, ctx); }},
        Operation{"scalarIsZero", order, false, [](auto& a, auto&) { return flag(scalarIsZero(sc(a))); },
                  [](Bn r, In a, In, BN_CTX*) { BN_set_word(r, BN_is_zero(a)); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Limbs at the bound that feMul and feSquare accept (below 2^27, either
// sign), which no decoded value reaches: the 64-bit sums must not overflow.
TEST(FieldLimbs, MulAndSquareTakeLimbsUpToTheBound) {
    BnContext ctx = newContext();
    auto value = [&](const FieldElement& f) {
        BigNum v = newBn();
        BigNum term = newBn();
        for (int i = 0, offset = 0; i < 10; offset += (i & 1) ? 25 : 26, ++i) {
            BN_set_word(term.get(), static_cast<BN_ULONG>(f.limb[i] < 0 ? -std::int64_t(f.limb[i]) : f.limb[i]));
            BN_set_negative(term.get(), f.limb[i] < 0);
            BN_lshift(term.get(), term.get(), offset);
            BN_add(v.get(), v.get(), term.get());
        }
        BN_nnmod(v.get(), v.get(), fieldPrime(), ctx.get());
        return v;
    };
    std::mt19937 rng(99);
    const std::int32_t bound = (std::int32_t(1) << 27) - 1;
    for (int round = 0; round < 200; ++round) {
        FieldElement a;
        FieldElement b;
        for (int i = 0; i < 10; ++i) {
            // The first rounds take the bound itself, in every combination of signs.
            a.limb[i] = round < 4 ? ((round & 1) ? -bound : bound) : std::int32_t(rng() % (2u * bound + 1)) - bound;
            b.limb[i] = round < 4 ? ((round & 2) ? -bound : bound) : std::int32_t(rng() % (2u * bound + 1)) - bound;
        }
        BigNum x = value(a);
        BigNum product = value(b);
        BigNum square = newBn();
        BN_mod_mul(product.get(), x.get(), product.get(), fieldPrime(), ctx.get());
        BN_mod_sqr(square.get(), x.get(), fieldPrime(), ctx.get());
        ASSERT_EQ(enc(feMul(a, b)), bytesOf(product.get())) << "round " << round;
        ASSERT_EQ(enc(feSquare(a)), bytesOf(square.get())) << "round " << round;
    }
}

}  // namespace
}  // namespace velmora
