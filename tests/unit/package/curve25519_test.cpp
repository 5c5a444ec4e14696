#include "package/curve25519.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <array>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace velmora {
namespace {

using Bytes = std::array<uint8_t, 32>;

Bytes fromHex(const std::string& hex) {
    Bytes out{};
    for (size_t i = 0; i < 32; ++i) {
        out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

Bytes nineU() {
    Bytes b{};
    b[0] = 9;
    return b;
}

Bytes randomBytes(std::mt19937& rng) {
    Bytes b;
    for (auto& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

Bytes clamped(Bytes scalar) {
    scalar[0] &= 0xF8;
    scalar[31] = static_cast<uint8_t>((scalar[31] & 0x7F) | 0x40);
    return scalar;
}

Bytes x25519(const Bytes& scalar, const Bytes& u) {
    Bytes out{};
    Bytes k = clamped(scalar);
    scalarMultU(k.data(), u.data(), out.data());
    return out;
}

Bytes encoded(const FieldElement& a) {
    Bytes out{};
    feEncode(out.data(), a);
    return out;
}

struct RfcVector {
    const char* name;
    const char* scalar;
    const char* u;
    const char* expected;
};

void PrintTo(const RfcVector& row, std::ostream* os) { *os << row.name; }

class ScalarMultRfc7748 : public ::testing::TestWithParam<RfcVector> {};

TEST_P(ScalarMultRfc7748, GivesTheVectorOutput) {
    const RfcVector& v = GetParam();
    EXPECT_EQ(x25519(fromHex(v.scalar), fromHex(v.u)), fromHex(v.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Section5_2, ScalarMultRfc7748,
    ::testing::Values(RfcVector{"first", "a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
                                "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
                                "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
                      // Its u has bit 255 set, which must be ignored.
                      RfcVector{"topBitInU", "4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
                                "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
                                "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"}),
    [](const ::testing::TestParamInfo<RfcVector>& info) { return std::string(info.param.name); });

TEST(ScalarMultRfc7748, IteratedVectors) {
    Bytes k = nineU();
    Bytes u = k;
    for (int i = 1; i <= 1000; ++i) {
        Bytes next = x25519(k, u);
        u = k;
        k = next;
        if (i == 1) {
            EXPECT_EQ(k, fromHex("422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"));
        }
    }
    EXPECT_EQ(k, fromHex("684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51"));
}

Bytes opensslX25519(const Bytes& privateKey, const Bytes& peerU) {
    EVP_PKEY* own = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, privateKey.data(), 32);
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerU.data(), 32);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(own, nullptr);
    Bytes out{};
    size_t length = out.size();
    EXPECT_EQ(EVP_PKEY_derive_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_derive_set_peer(ctx, peer), 1);
    EXPECT_EQ(EVP_PKEY_derive(ctx, out.data(), &length), 1);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(own);
    return out;
}

TEST(ScalarMult, AgreesWithOpensslX25519) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 40; ++round) {
        Bytes scalar = randomBytes(rng);
        Bytes u = randomBytes(rng);
        EXPECT_EQ(x25519(scalar, u), opensslX25519(scalar, u)) << "round " << round;
    }
}

// An independent model of the curve: OpenSSL's arithmetic on the short
// Weierstrass form y^2 = x^3 + a x + b, x = u + A/3, y = v.
class WeierstrassModel {
public:
    WeierstrassModel() {
        BN_set_bit(p_.get(), 255);
        BN_sub_word(p_.get(), 19);
        BN_set_word(aCurve_.get(), 486662);
        // third = A / 3, a = (3 - A^2) / 3, b = (2 A^3 - 9 A) / 27, all modulo p.
        BigNum three = word(3);
        BigNum inverse3 = newBn();
        BN_mod_inverse(inverse3.get(), three.get(), p_.get(), ctx_);
        BN_mod_mul(third_.get(), aCurve_.get(), inverse3.get(), p_.get(), ctx_);
        BigNum a2 = newBn();
        BN_mod_sqr(a2.get(), aCurve_.get(), p_.get(), ctx_);
        BigNum a = newBn();
        BN_mod_sub(a.get(), three.get(), a2.get(), p_.get(), ctx_);
        BN_mod_mul(a.get(), a.get(), inverse3.get(), p_.get(), ctx_);
        BigNum a3 = newBn();
        BN_mod_mul(a3.get(), a2.get(), aCurve_.get(), p_.get(), ctx_);
        BN_mod_add(a3.get(), a3.get(), a3.get(), p_.get(), ctx_);
        BigNum nineA = word(9);
        BN_mod_mul(nineA.get(), nineA.get(), aCurve_.get(), p_.get(), ctx_);
        BigNum b = newBn();
        BN_mod_sub(b.get(), a3.get(), nineA.get(), p_.get(), ctx_);
        BigNum inverse27 = word(27);
        BN_mod_inverse(inverse27.get(), inverse27.get(), p_.get(), ctx_);
        BN_mod_mul(b.get(), b.get(), inverse27.get(), p_.get(), ctx_);
        group_ = EC_GROUP_new_curve_GFp(p_.get(), a.get(), b.get(), ctx_);
    }
    ~WeierstrassModel() {
        EC_GROUP_free(group_);
        BN_CTX_free(ctx_);
    }

    // u(m P + n G), P and G lifted with their even v as found by BN_mod_sqrt.
    Bytes combination(const Bytes& m, const Bytes& pointU, const Bytes& n) {
        EC_POINT* p = lift(pointU);
        EC_POINT* g = lift(nineU());
        EC_POINT* mp = EC_POINT_new(group_);
        EC_POINT* ng = EC_POINT_new(group_);
        BigNum mBn(BN_lebin2bn(m.data(), 32, nullptr), &BN_free);
        BigNum nBn(BN_lebin2bn(n.data(), 32, nullptr), &BN_free);
        EXPECT_EQ(EC_POINT_mul(group_, mp, nullptr, p, mBn.get(), ctx_), 1);
        EXPECT_EQ(EC_POINT_mul(group_, ng, nullptr, g, nBn.get(), ctx_), 1);
        EXPECT_EQ(EC_POINT_add(group_, mp, mp, ng, ctx_), 1);
        Bytes out{};
        if (!EC_POINT_is_at_infinity(group_, mp)) {
            BigNum x = newBn();
            EXPECT_EQ(EC_POINT_get_affine_coordinates(group_, mp, x.get(), nullptr, ctx_), 1);
            BN_mod_sub(x.get(), x.get(), third_.get(), p_.get(), ctx_);
            EXPECT_EQ(BN_bn2lebinpad(x.get(), out.data(), 32), 32);
        }
        EC_POINT_free(ng);
        EC_POINT_free(mp);
        EC_POINT_free(g);
        EC_POINT_free(p);
        return out;
    }

private:
    using BigNum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
    static BigNum newBn() { return BigNum(BN_new(), &BN_free); }
    static BigNum word(BN_ULONG w) {
        BigNum b = newBn();
        BN_set_word(b.get(), w);
        return b;
    }

    EC_POINT* lift(const Bytes& uBytes) {
        BigNum u(BN_lebin2bn(uBytes.data(), 32, nullptr), &BN_free);
        BigNum w = newBn();
        BigNum t = newBn();
        BN_mod_add(t.get(), u.get(), aCurve_.get(), p_.get(), ctx_);  // (u + A) u^2 + u
        BN_mod_mul(t.get(), t.get(), u.get(), p_.get(), ctx_);
        BN_mod_mul(t.get(), t.get(), u.get(), p_.get(), ctx_);
        BN_mod_add(w.get(), t.get(), u.get(), p_.get(), ctx_);
        BigNum y(BN_mod_sqrt(nullptr, w.get(), p_.get(), ctx_), &BN_free);
        EXPECT_NE(y.get(), nullptr);
        if (BN_is_odd(y.get())) {
            BN_sub(y.get(), p_.get(), y.get());
        }
        BigNum x = newBn();
        BN_mod_add(x.get(), u.get(), third_.get(), p_.get(), ctx_);
        EC_POINT* point = EC_POINT_new(group_);
        EXPECT_EQ(EC_POINT_set_affine_coordinates(group_, point, x.get(), y.get(), ctx_), 1);
        return point;
    }

    BN_CTX* ctx_ = BN_CTX_new();
    BigNum p_ = newBn();
    BigNum aCurve_ = newBn();
    BigNum third_ = newBn();
    EC_GROUP* group_ = nullptr;
};

Bytes combination(const Bytes& m, const Bytes& pointU, const Bytes& n) {
    FieldElement u;
    EXPECT_TRUE(combinationU(m.data(), pointU.data(), n.data(), u));
    return encoded(u);
}

// l, the order of G, little-endian.
const Bytes groupOrder =
    fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");

TEST(Combination, AgreesWithWeierstrassModelOnRandomScalars) {
    WeierstrassModel model;
    std::mt19937 rng(77);
    for (int round = 0; round < 20; ++round) {
        Bytes pointU = x25519(randomBytes(rng), nineU());
        Bytes m = randomBytes(rng);
        Bytes n = randomBytes(rng);
        ASSERT_EQ(combination(m, pointU, n), model.combination(m, pointU, n)) << "round " << round;
    }
}

TEST(Combination, AgreesWithWeierstrassModelOnEdgeScalars) {
    WeierstrassModel model;
    std::mt19937 rng(78);
    Bytes pointU = x25519(randomBytes(rng), nineU());
    Bytes zero{};
    Bytes one{};
    one[0] = 1;
    Bytes ones;
    ones.fill(0xFF);
    Bytes r = randomBytes(rng);
    struct Row {
        const char* name;
        Bytes m;
        Bytes n;
    };
    const Row rows[] = {
        {"onlyG", zero, r},          {"onlyP", r, zero},          {"neutral", zero, zero},
        {"orderTimesP", groupOrder, zero},  // l P is the neutral element
        {"neutralPlusG", groupOrder, one},  {"equalScalars", r, r},
        {"allOnes", ones, ones},     {"oneEach", one, one},       {"clampedLike", zero, clamped(r)},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(combination(row.m, pointU, row.n), model.combination(row.m, pointU, row.n)) << row.name;
    }
}

TEST(Combination, RefusesPointsOffTheCurveAndG) {
    Bytes m{};
    m[0] = 5;
    Bytes n{};
    n[0] = 3;
    FieldElement u;
    EXPECT_FALSE(combinationU(m.data(), nineU().data(),
                              n.data(), u));
    // u = 2: 8 + 4 * 486662 + 2 is not a square modulo p.
    EXPECT_FALSE(combinationU(m.data(), fromHex("0200000000000000000000000000000000000000000000000000000000000000").data(),
                              n.data(), u));
}

// The lift succeeds exactly where u^3 + A u^2 + u is a square, and gives the
// even root.
TEST(LiftEvenPoint, FollowsTheQuadraticCharacter) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* p = BN_new();
    BN_set_bit(p, 255);
    BN_sub_word(p, 19);
    BIGNUM* exponent = BN_dup(p);
    BN_sub_word(exponent, 1);
    BN_rshift1(exponent, exponent);
    BIGNUM* w = BN_new();
    BIGNUM* character = BN_new();
    for (uint32_t small = 0; small < 40; ++small) {
        // w = u^3 + 486662 u^2 + u fits a machine word for small u.
        uint64_t value = uint64_t(small) * small * small + 486662ull * small * small + small;
        BN_set_word(w, static_cast<BN_ULONG>(value));
        BN_mod_exp(character, w, exponent, p, ctx);
        bool square = BN_is_zero(character) || BN_is_one(character);
        AffinePoint point;
        ASSERT_EQ(liftEvenPoint(feFromSmall(small), point), square) << "u = " << small;
        if (square) {
            Bytes expected{};
            for (int i = 0; i < 8; ++i) {
                expected[i] = static_cast<uint8_t>(value >> (8 * i));
            }
            EXPECT_EQ(encoded(feSquare(point.v)), expected) << "u = " << small;
            EXPECT_TRUE(feIsEven(point.v)) << "u = " << small;
        }
    }
    BN_free(character);
    BN_free(w);
    BN_free(exponent);
    BN_free(p);
    BN_CTX_free(ctx);
}

}  // namespace
}  // namespace velmora
