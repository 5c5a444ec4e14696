#include "package/group_scalar.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <memory>
#include <random>
#include <vector>

namespace velmora {
namespace {

using Bytes = std::array<uint8_t, 32>;
using BigNum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

BigNum fromBytes(const Bytes& b) { return BigNum(BN_lebin2bn(b.data(), 32, nullptr), &BN_free); }

Bytes toBytes(const BIGNUM* value) {
    Bytes out{};
    EXPECT_EQ(BN_bn2lebinpad(value, out.data(), 32), 32);
    return out;
}

Bytes bytesOf(const GroupScalar& s) {
    Bytes out{};
    scalarToBytes(out.data(), s);
    return out;
}

class GroupScalarTest : public ::testing::Test {
protected:
    GroupScalarTest() {
        BN_set_bit(order_.get(), 252);
        BigNum low(nullptr, &BN_free);
        BIGNUM* raw = nullptr;
        BN_dec2bn(&raw, "27742317777372353535851937790883648493");
        low.reset(raw);
        BN_add(order_.get(), order_.get(), low.get());
    }
    ~GroupScalarTest() override { BN_CTX_free(ctx_); }

    Bytes reduced(const BIGNUM* value) {
        BigNum r(BN_new(), &BN_free);
        BN_nnmod(r.get(), value, order_.get(), ctx_);
        return toBytes(r.get());
    }

    // 0, 1, l - 1, l, l + 1, 2^256 - 1 and random values.
    std::vector<Bytes> inputs() {
        std::vector<Bytes> out;
        for (BN_ULONG small : {0, 1}) {
            BigNum v(BN_new(), &BN_free);
            BN_set_word(v.get(), small);
            out.push_back(toBytes(v.get()));
        }
        for (int delta : {-1, 0, 1}) {
            BigNum v(BN_dup(order_.get()), &BN_free);
            if (delta < 0) {
                BN_sub_word(v.get(), 1);
            } else {
                BN_add_word(v.get(), static_cast<BN_ULONG>(delta));
            }
            out.push_back(toBytes(v.get()));
        }
        Bytes ones;
        ones.fill(0xFF);
        out.push_back(ones);
        std::mt19937 rng(5);
        for (int i = 0; i < 12; ++i) {
            Bytes b;
            for (auto& x : b) {
                x = static_cast<uint8_t>(rng());
            }
            out.push_back(b);
        }
        return out;
    }

    BigNum order_{BN_new(), &BN_free};
    BN_CTX* ctx_ = BN_CTX_new();
};

TEST_F(GroupScalarTest, ArithmeticAgreesWithBignumModuloL) {
    for (const Bytes& a : inputs()) {
        BigNum x = fromBytes(a);
        GroupScalar s = scalarFromBytes(a.data());
        ASSERT_EQ(bytesOf(s), reduced(x.get()));
        BigNum expected(BN_new(), &BN_free);
        BN_sub(expected.get(), order_.get(), x.get());
        EXPECT_EQ(bytesOf(scalarNegate(s)), reduced(expected.get()));
        BN_nnmod(expected.get(), x.get(), order_.get(), ctx_);
        if (BN_is_zero(expected.get())) {
            EXPECT_TRUE(scalarIsZero(scalarInvert(s)));
            EXPECT_TRUE(scalarIsZero(s));
        } else {
            BN_mod_inverse(expected.get(), x.get(), order_.get(), ctx_);
            EXPECT_EQ(bytesOf(scalarInvert(s)), toBytes(expected.get()));
            EXPECT_FALSE(scalarIsZero(s));
        }
        for (const Bytes& b : inputs()) {
            BigNum y = fromBytes(b);
            GroupScalar t = scalarFromBytes(b.data());
            BN_mul(expected.get(), x.get(), y.get(), ctx_);
            ASSERT_EQ(bytesOf(scalarMul(s, t)), reduced(expected.get()));
            BN_add(expected.get(), x.get(), y.get());
            ASSERT_EQ(bytesOf(scalarAdd(s, t)), reduced(expected.get()));
            BN_sub(expected.get(), x.get(), y.get());
            ASSERT_EQ(bytesOf(scalarSub(s, t)), reduced(expected.get()));
        }
    }
}

}  // namespace
}  // namespace velmora
