#include "package/curve25519.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>

#include "crypto_support.h"

namespace velmora {
namespace {

using namespace velmora::test;

const Bytes nine = {9};

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

TEST(ScalarMultRfc7748, GivesTheVectorOutputs) {
    const struct {
        const char* scalar;
        const char* u;
        const char* expected;
    } vectors[] = {
        {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
         "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
         "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
        // Its u has bit 255 set, which must be ignored.
        {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
         "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
         "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
    };
    for (const auto& v : vectors) EXPECT_EQ(x25519(fromHex(v.scalar), fromHex(v.u)), fromHex(v.expected)) << v.scalar;
}

TEST(ScalarMultRfc7748, IteratedVectors) {
    Bytes k = nine;
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

// An independent model of the curve: OpenSSL's arithmetic on the short
// Weierstrass form y^2 = x^3 + a x + b with x = u + A/3, y = v. A wrong
// constant here fails every lift: the points would be off that curve.
class WeierstrassModel {
public:
    WeierstrassModel() {
        BigNum a = bnHex("2aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa984914a144");
        BigNum b = bnHex("7b425ed097b425ed097b425ed097b425ed097b425ed097b4260b5e9c7710c864");
        group_ = EC_GROUP_new_curve_GFp(p_.get(), a.get(), b.get(), ctx_.get());
    }
    ~WeierstrassModel() { EC_GROUP_free(group_); }

    // u(m P + n G), P and G lifted with their even v as found by BN_mod_sqrt.
    Bytes combination(const Bytes& m, const Bytes& pointU, const Bytes& n) {
        EC_POINT* p = lift(pointU);
        EC_POINT* g = lift(nine);
        EC_POINT* sum = EC_POINT_new(group_);
        EC_POINT* ng = EC_POINT_new(group_);
        EXPECT_EQ(EC_POINT_mul(group_, sum, nullptr, p, bnOf(m).get(), ctx_.get()), 1);
        EXPECT_EQ(EC_POINT_mul(group_, ng, nullptr, g, bnOf(n).get(), ctx_.get()), 1);
        EXPECT_EQ(EC_POINT_add(group_, sum, sum, ng, ctx_.get()), 1);
        Bytes out{};
        if (!EC_POINT_is_at_infinity(group_, sum)) {
            BigNum x = newBn();
            EXPECT_EQ(EC_POINT_get_affine_coordinates(group_, sum, x.get(), nullptr, ctx_.get()), 1);
            BN_mod_sub(x.get(), x.get(), third_.get(), p_.get(), ctx_.get());
            out = bytesOf(x.get());
        }
        for (EC_POINT* point : {p, g, sum, ng}) EC_POINT_free(point);
        return out;
    }

private:
    EC_POINT* lift(const Bytes& uBytes) {
        BigNum u = bnOf(uBytes);
        BigNum w = newBn();
        BN_mod_add(w.get(), u.get(), a_.get(), p_.get(), ctx_.get());  // ((u + A) u + 1) u
        BN_mod_mul(w.get(), w.get(), u.get(), p_.get(), ctx_.get());
        BN_add_word(w.get(), 1);
        BN_mod_mul(w.get(), w.get(), u.get(), p_.get(), ctx_.get());
        BigNum y(BN_mod_sqrt(nullptr, w.get(), p_.get(), ctx_.get()), &BN_free);
        EXPECT_NE(y.get(), nullptr);
        if (BN_is_odd(y.get())) BN_sub(y.get(), p_.get(), y.get());
        BN_mod_add(u.get(), u.get(), third_.get(), p_.get(), ctx_.get());
        EC_POINT* point = EC_POINT_new(group_);
        EXPECT_EQ(EC_POINT_set_affine_coordinates(group_, point, u.get(), y.get(), ctx_.get()), 1);
        return point;
    }

    BnContext ctx_ = newContext();
    BigNum p_ = bnHex("7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
    BigNum a_ = bnHex("76d06");  // A = 486662
    BigNum third_ = bnHex("2aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaad2451");  // A / 3
    EC_GROUP* group_ = nullptr;
};

TEST(Combination, AgreesWithWeierstrassModel) {
    WeierstrassModel model;
    std::mt19937 rng(77);
    const Bytes zero{};
    const Bytes one{1};
    Bytes ones;
    ones.fill(0xFF);
    const Bytes r = randomArray(rng);
    struct Row {
        const char* name;
        Bytes m;
        Bytes n;
    };
    std::vector<Row> rows = {
        {"onlyG", zero, r},     {"onlyP", r, zero},          {"neutral", zero, zero},
        {"orderTimesP", groupOrder, zero},  // l P is the neutral element
        {"neutralPlusG", groupOrder, one},  {"equalScalars", r, r},
        {"allOnes", ones, ones}, {"oneEach", one, one},       {"clampedLike", zero, clamped(r)},
    };
    for (int round = 0; round < 20; ++round) rows.push_back({"random", randomArray(rng), randomArray(rng)});
    for (const Row& row : rows) {
        // A new point each time: the model lifts it to its even v independently.
        const Bytes pointU = x25519(randomArray(rng), nine);
        FieldElement u;
        ASSERT_TRUE(combinationU(row.m.data(), pointU.data(), row.n.data(), u));
        EXPECT_EQ(encoded(u), model.combination(row.m, pointU, row.n)) << row.name;
    }
}

TEST(Combination, RefusesPointsOffTheCurveAndG) {
    const Bytes m{5};
    const Bytes n{3};
    FieldElement u;
    EXPECT_FALSE(combinationU(m.data(), nine.data(), n.data(), u));
    // u = 2: 8 + 4 * 486662 + 2 is not a square modulo p.
    EXPECT_FALSE(combinationU(m.data(), Bytes{2}.data(), n.data(), u));
}

}  // namespace
}  // namespace velmora
