// The signature arithmetic against OpenSSL (BIGNUM, SHA-256, X25519), the
// published X25519 vectors, and signing round trips.

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <array>
#include <memory>
#include <random>
#include <string>

#include "package/curve25519.h"
#include "package/group_scalar.h"
#include "package/key_check.h"
#include "package/key_material.h"
#include "package/signature_signer.h"
#include "package/signature_verifier.h"
#include "support/no_keys.h"

namespace velmora {
namespace {

using Bytes = std::array<std::uint8_t, 32>;
using BigNum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
using B = const Bytes&; using R = BIGNUM*; using I = const BIGNUM*;

Bytes fromHex(const std::string& hex) {
    Bytes out{};
    for (std::size_t i = 0; i < 32; ++i) out[i] = std::uint8_t(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return out;
}
template <std::size_t N = 32>
std::array<std::uint8_t, N> random(std::mt19937& rng) {
    std::array<std::uint8_t, N> out; for (auto& b : out) b = std::uint8_t(rng()); return out;
}
Bytes clamped(Bytes k) { return k[0] &= 0xF8, k[31] = std::uint8_t((k[31] & 0x7F) | 0x40), k; }
const Bytes order = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"), nine{9},
            prime = fromHex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
BigNum bn(B b) { return BigNum(BN_lebin2bn(b.data(), 32, nullptr), &BN_free); }
Bytes bytesOf(I v) { Bytes o{}; EXPECT_EQ(BN_bn2lebinpad(v, o.data(), 32), 32); return o; }
const BigNum p = bn(prime), l = bn(order);
Bytes enc(const FieldElement& a) { Bytes o{}; feEncode(o.data(), a); return o; }
Bytes enc(const GroupScalar& a) { Bytes o{}; scalarToBytes(o.data(), a); return o; }
FieldElement fe(B b) { return feDecode(b.data()); }
GroupScalar sc(B b) { return scalarFromBytes(b.data()); }
Bytes x25519(B k, B u) { Bytes o{}; scalarMultU(clamped(k).data(), u.data(), o.data()); return o; }
// r = a^((m - sub) >> shift) mod m
void power(R r, I a, I m, BN_ULONG sub, int shift, BN_CTX* ctx) {
    BigNum e(BN_dup(m), &BN_free);
    BN_sub_word(e.get(), sub), BN_rshift(e.get(), e.get(), shift), BN_mod_exp(r, a, e.get(), m, ctx);
}

// Every operation against BIGNUM, over the values where reduction breaks
// (0, 1, m - 2 .. m + 1 of both moduli, 2^255 - 1, 2^256 - 1) and random ones.
TEST(ModularArithmetic, AgreesWithBignum) {
    std::vector<Bytes> inputs = {Bytes{0}, Bytes{1}, Bytes{9}, Bytes{}, Bytes{}};
    inputs[3].fill(0xFF), inputs[4].fill(0xFF), inputs[4][31] = 0x7F;
    for (Bytes m : {prime, order})  // both end in 0xED
        for (int d = 0; d < 4; ++d) m[0] = std::uint8_t(0xEB + d), inputs.push_back(m);
    std::mt19937 rng(1234);
    for (int i = 0; i < 12; ++i) inputs.push_back(random(rng));
#define OURS(e) [](B a, [[maybe_unused]] B b) { return e; }
#define REF(e) [](R r, I a, [[maybe_unused]] I b, [[maybe_unused]] BN_CTX* c) { e; }
    const struct {
        bool field, binary;
        Bytes (*ours)(B a, B b);
        void (*reference)(R r, I a, I b, BN_CTX* c);  // before reduction
    } ops[] = {
        {1, 1, OURS(enc(feAdd(fe(a), fe(b)))), REF(BN_add(r, a, b))},
        {1, 1, OURS(enc(feSub(fe(a), fe(b)))), REF(BN_sub(r, a, b))},
        {1, 1, OURS(enc(feMul(fe(a), fe(b)))), REF(BN_mul(r, a, b, c))},
        {1, 0, OURS(enc(feSquare(fe(a)))), REF(BN_mul(r, a, a, c))},
        {1, 0, OURS(enc(feNegate(fe(a)))), REF(BN_zero(r); BN_sub(r, r, a))},
        {1, 0, OURS(enc(feMulSmall(feAdd(fe(a), fe(a)), 486662))), REF(BN_lshift1(r, a); BN_mul_word(r, 486662))},
        {1, 0, OURS(enc(feInvert(fe(a)))), REF(power(r, a, p.get(), 2, 0, c))},
        {1, 0, OURS(enc(fePowP58(fe(a)))), REF(power(r, a, p.get(), 5, 3, c))},
        {1, 0, OURS(Bytes{feIsZero(fe(a))}), REF(BN_set_word(r, BN_is_zero(a)))},
        {1, 1, OURS(Bytes{feEqual(fe(a), fe(b))}), REF(BN_set_word(r, !BN_cmp(a, b)))},
        {1, 1, OURS(Bytes{feIsEven(feSub(fe(a), fe(b)))}),
         REF(BN_mod_sub(r, a, b, p.get(), c); BN_set_word(r, !BN_is_odd(r)))},
        {0, 1, OURS(enc(scalarAdd(sc(a), sc(b)))), REF(BN_add(r, a, b))},
        {0, 1, OURS(enc(scalarSub(sc(a), sc(b)))), REF(BN_sub(r, a, b))},
        {0, 1, OURS(enc(scalarMul(sc(a), sc(b)))), REF(BN_mul(r, a, b, c))},
        {0, 0, OURS(enc(scalarNegate(sc(a)))), REF(BN_zero(r); BN_sub(r, r, a))},
        {0, 0, OURS(enc(scalarInvert(sc(a)))), REF(power(r, a, l.get(), 2, 0, c))},
        {0, 0, OURS(Bytes{scalarIsZero(sc(a))}), REF(BN_set_word(r, BN_is_zero(a)))},
    };
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), &BN_CTX_free);
    for (std::size_t n = 0; n < std::size(ops); ++n) {
        const auto& op = ops[n];
        I m = op.field ? p.get() : l.get();
        auto residue = [&](B bytes) {  // the field ignores bit 255
            BigNum x = bn(bytes);
            if (op.field) BN_clear_bit(x.get(), 255);
            BN_nnmod(x.get(), x.get(), m, ctx.get());
            return x;
        };
        for (std::size_t i = 0; i < inputs.size(); ++i)
            for (std::size_t j = 0; j < (op.binary ? inputs.size() : 1); ++j) {
                BigNum expected(BN_new(), &BN_free);
                op.reference(expected.get(), residue(inputs[i]).get(), residue(inputs[j]).get(), ctx.get());
                BN_nnmod(expected.get(), expected.get(), m, ctx.get());
                ASSERT_EQ(op.ours(inputs[i], inputs[j]), bytesOf(expected.get())) << n << ":" << i << "," << j;
            }
    }
    // Limbs at the bound feMul and feSquare accept (|limb| < 2^27), which no
    // decoded value reaches: the 64-bit sums must not overflow.
    for (int round = 0; round < 4; ++round) {
        FieldElement a;
        BigNum va(BN_new(), &BN_free), term(BN_new(), &BN_free);
        for (int i = 0, shift = 0; i < 10; shift += 26 - (i & 1), ++i) {
            a.limb[i] = ((round >> (i & 1)) & 1 ? -1 : 1) * ((1 << 27) - 1);
            BN_set_word(term.get(), (1 << 27) - 1), BN_set_negative(term.get(), a.limb[i] < 0);
            BN_lshift(term.get(), term.get(), shift), BN_add(va.get(), va.get(), term.get());
        }
        BN_mod_sqr(va.get(), va.get(), p.get(), ctx.get());
        for (const FieldElement& sq : {feMul(a, a), feSquare(a)}) ASSERT_EQ(enc(sq), bytesOf(va.get())) << round;
    }
}

// RFC 7748, 5.2: two vectors (the second with bit 255 of u set), and the iterated one.
TEST(X25519, PublishedVectors) {
    EXPECT_EQ(x25519(fromHex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4"),
                     fromHex("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c")),
              fromHex("c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"));
    EXPECT_EQ(x25519(fromHex("4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d"),
                     fromHex("e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493")),
              fromHex("95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"));
    Bytes k = nine, u = nine;
    for (int i = 1; i <= 1000; ++i) {
        std::swap(u, k), k = x25519(u, k);  // k, u = X25519(k, u), k
        if (i == 1) { EXPECT_EQ(k, fromHex("422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079")); }
    }
    EXPECT_EQ(k, fromHex("684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51"));
}

struct Signed {
    Bytes x, key, v;
    std::array<std::uint8_t, 20> digest; std::array<std::uint8_t, 16> r;
    PackageHashConstants c = sha256Constants();
};

// Signed digests verify under any constants; every change to a signature,
// its digest, key or constants is refused, except adding l to v (used whole).
// The key is X25519's of x; x' (x or l - x) names its lift with even v.
TEST(Signature, RoundTripAndTampering) {
    std::mt19937 rng(21);
    using G = std::mt19937;
    const std::pair<void (*)(Signed&, G&), bool> rows[] = {
        {[](Signed&, G&) {}, true},
        {[](Signed& s, G&) {
             for (unsigned i = 0, c = 0; i < 32; ++i, c >>= 8) s.v[i] = std::uint8_t(c += s.v[i] + order[i]); }, true},
        {[](Signed& s, G& g) { s.r[g() % 16] ^= std::uint8_t(1u << g() % 8); }, false},
        {[](Signed& s, G& g) { s.v[g() % 32] ^= std::uint8_t(1u << g() % 8); }, false},
        {[](Signed& s, G&) { s.v[31] ^= 0x80; }, false},
        {[](Signed& s, G& g) { s.digest[g() % 20] ^= std::uint8_t(1u << g() % 8); }, false},
        {[](Signed& s, G&) { s.c.k[17] ^= 0x100, s.c.h[7] += 1; }, false},
        {[](Signed& s, G&) { s.key = nine; }, false}, {[](Signed& s, G&) { s.key = Bytes{2}; }, false},
    };
    for (std::size_t n = 0; n < std::size(rows); ++n)
        for (int round = 0; round < 2; ++round) {
            Signed s;
            if (round) for (auto* w : {&s.c.k[3], &s.c.k[60], &s.c.h[0]}) *w = rng();
            Bytes adjusted, nonce = random(rng);
            s.x = clamped(random(rng)), s.digest = random<20>(rng);
            ASSERT_TRUE(derivePublicKey(s.x.data(), s.key.data(), adjusted.data()));
            EXPECT_EQ(s.key, x25519(s.x, nine));
            EXPECT_TRUE(adjusted == enc(sc(s.x)) || adjusted == enc(scalarNegate(sc(s.x))));
            ASSERT_TRUE(signDigest(s.digest.data(), s.x.data(), nonce.data(), s.c, s.r.data(), s.v.data()));
            rows[n].first(s, rng);
            EXPECT_EQ(verifyCommitment(s.digest.data(), s.r.data(), s.v.data(), s.key.data(), s.c), rows[n].second)
                << "row " << n << " round " << round;
        }
    // h: the package hash of the digest, r mixed in at byte 8, clamped.
    const auto digest = random<20>(rng);
    auto r = random<16>(rng);
    Bytes expected{}, h{}, minusOne = order, key{}, adjusted{}, v{};
    packageHash(digest.data(), 20, expected.data(), sha256Constants());
    for (int i = 0; i < 16; ++i) expected[8 + i] ^= r[i];
    commitmentScalar(digest.data(), r.data(), sha256Constants(), h.data());
    EXPECT_EQ(h, clamped(expected));
    // Unusable private scalars and nonces.
    minusOne[0] -= 1;
    for (const Bytes& x : {Bytes{}, Bytes{1}, minusOne, order})
        EXPECT_FALSE(derivePublicKey(x.data(), key.data(), adjusted.data()));
    for (const Bytes& k : {Bytes{}, order, Bytes{1}})
        EXPECT_EQ(signDigest(digest.data(), nine.data(), k.data(), sha256Constants(), r.data(), v.data()), k[0] == 1);
}

// Under any encoding of u = 0 every combination is 0, so r = hash(0^32)
// verifies with any v: the key check must name it, and every other no-key.
TEST(Signature, KeysThatAreNoKey) {
    std::mt19937 rng(61);
    Bytes r{};
    std::uint8_t digest[20] = {};
    packageHash(Bytes{}.data(), 32, r.data(), sha256Constants());
    for (const KeyRow& row : keyRows()) {
        const Bytes key = fromHex(row.hex), v = random(rng);
        EXPECT_EQ(publicKeyFault(key), row.fault) << row.name;
        const bool zero = row.fault == KeyFault::Zero || row.fault == KeyFault::NotReduced;
        EXPECT_EQ(verifyCommitment(digest, r.data(), v.data(), key.data(), sha256Constants()), zero) << row.name;
    }
    for (int round = 0; round < 40; ++round) {
        Bytes u = random(rng), key{}, adjusted{};
        AffinePoint point; u[31] &= 0x7F;
        EXPECT_EQ(publicKeyFault(u) == KeyFault::NotOnCurve, !liftEvenPoint(fe(u), point)) << round;
        if (derivePublicKey(u.data(), key.data(), adjusted.data())) { EXPECT_EQ(publicKeyFault(key), KeyFault::None); }
    }
}

// SHA-256 at the padding boundaries (55 fits one block, 56..63 need two);
// every constant reaches the output.
TEST(PackageHash, StandardConstantsGiveSha256AndEveryConstantCounts) {
    std::mt19937 rng(7); const auto data = random<4099>(rng);
    for (std::size_t length : {0, 1, 20, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 4099}) {
        Bytes expected{}, ours{};
        ASSERT_EQ(EVP_Digest(data.data(), length, expected.data(), nullptr, EVP_sha256(), nullptr), 1);
        packageHash(data.data(), length, ours.data(), sha256Constants());
        EXPECT_EQ(ours, expected) << length;
    }
    auto hashOf = [](const PackageHashConstants& c) { Bytes o{}; packageHash(nine.data(), 20, o.data(), c); return o; };
    for (int i = 0; i < 72; ++i) {
        PackageHashConstants changed = sha256Constants();
        (i < 64 ? changed.k[i] : changed.h[i - 64]) ^= 0x00010000;
        EXPECT_NE(hashOf(changed), hashOf(sha256Constants())) << "constant " << i;
    }
}

}  // namespace
}  // namespace velmora
