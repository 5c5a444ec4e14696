#include "package/signature_verifier.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <ostream>
#include <random>
#include <string>

#include "package/curve25519.h"
#include "package/group_scalar.h"
#include "package/signature_signer.h"

namespace velmora {
namespace {

using Bytes32 = std::array<uint8_t, 32>;
using Digest = std::array<uint8_t, 20>;
using Commitment = std::array<uint8_t, 16>;

template <size_t N>
std::array<uint8_t, N> randomArray(std::mt19937& rng) {
    std::array<uint8_t, N> out;
    for (auto& b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

PackageHashConstants randomConstants(std::mt19937& rng) {
    PackageHashConstants c;
    for (auto& k : c.k) {
        k = rng();
    }
    for (auto& h : c.h) {
        h = rng();
    }
    return c;
}

// l, the group order, little-endian.
const Bytes32 groupOrder = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                            0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};

struct Signed {
    Bytes32 privateKey;
    Bytes32 publicKey;
    Digest digest;
    Commitment r;
    Bytes32 v;
};

Signed makeSigned(std::mt19937& rng, const PackageHashConstants& constants) {
    Signed s;
    Bytes32 adjusted;
    do {
        s.privateKey = randomArray<32>(rng);
    } while (!derivePublicKey(s.privateKey.data(), s.publicKey.data(), adjusted.data()));
    s.digest = randomArray<20>(rng);
    Bytes32 nonce = randomArray<32>(rng);
    EXPECT_TRUE(signDigest(s.digest.data(), s.privateKey.data(), nonce.data(), constants, s.r.data(), s.v.data()));
    return s;
}

bool verify(const Signed& s, const PackageHashConstants& constants) {
    return verifyCommitment(s.digest.data(), s.r.data(), s.v.data(), s.publicKey.data(), constants);
}

TEST(Signature, SignedDigestsVerifyWithStandardAndOwnConstants) {
    std::mt19937 rng(11);
    for (int round = 0; round < 16; ++round) {
        PackageHashConstants constants = (round % 2) ? randomConstants(rng) : sha256Constants();
        Signed s = makeSigned(rng, constants);
        EXPECT_TRUE(verify(s, constants)) << "round " << round;
    }
}

struct Tamper {
    const char* name;
    void (*apply)(Signed& s, PackageHashConstants& constants, std::mt19937& rng);
};

void PrintTo(const Tamper& row, std::ostream* os) { *os << row.name; }

class SignatureTamper : public ::testing::TestWithParam<Tamper> {};

TEST_P(SignatureTamper, IsRefused) {
    std::mt19937 rng(21);
    for (int round = 0; round < 6; ++round) {
        PackageHashConstants constants = (round % 2) ? randomConstants(rng) : sha256Constants();
        Signed s = makeSigned(rng, constants);
        ASSERT_TRUE(verify(s, constants));
        GetParam().apply(s, constants, rng);
        EXPECT_FALSE(verify(s, constants)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, SignatureTamper,
    ::testing::Values(
        Tamper{"commitmentBit", [](Signed& s, PackageHashConstants&, std::mt19937& rng) { s.r[rng() % 16] ^= uint8_t(1u << (rng() % 8)); }},
        Tamper{"valueLowBit", [](Signed& s, PackageHashConstants&, std::mt19937&) { s.v[0] ^= 1; }},
        Tamper{"valueAnyBit", [](Signed& s, PackageHashConstants&, std::mt19937& rng) { s.v[rng() % 32] ^= uint8_t(1u << (rng() % 8)); }},
        // v + 2^255: v is used whole, not cut to 255 bits.
        Tamper{"valueTopBit", [](Signed& s, PackageHashConstants&, std::mt19937&) { s.v[31] ^= 0x80; }},
        Tamper{"digestBit", [](Signed& s, PackageHashConstants&, std::mt19937& rng) { s.digest[rng() % 20] ^= uint8_t(1u << (rng() % 8)); }},
        Tamper{"otherKey",
               [](Signed& s, PackageHashConstants&, std::mt19937& rng) {
                   Bytes32 other = randomArray<32>(rng);
                   Bytes32 adjusted;
                   ASSERT_TRUE(derivePublicKey(other.data(), s.publicKey.data(), adjusted.data()));
               }},
        Tamper{"otherConstants", [](Signed&, PackageHashConstants& c, std::mt19937&) { c.k[17] ^= 0x100; }},
        Tamper{"otherInitialWords", [](Signed&, PackageHashConstants& c, std::mt19937&) { c.h[7] += 1; }},
        Tamper{"keyOffTheCurve", [](Signed& s, PackageHashConstants&, std::mt19937&) { s.publicKey = Bytes32{2}; }},
        Tamper{"keyIsG", [](Signed& s, PackageHashConstants&, std::mt19937&) { s.publicKey = Bytes32{9}; }},
        Tamper{"zeroSignature",
               [](Signed& s, PackageHashConstants&, std::mt19937&) {
                   s.r = Commitment{};
                   s.v = Bytes32{};
               }}),
    [](const ::testing::TestParamInfo<Tamper>& info) { return std::string(info.param.name); });

// v is used whole and P has order l, so v + l, with its high bits set,
// gives the same point and the signature still verifies.
TEST(Signature, ValuePlusGroupOrderStillVerifies) {
    std::mt19937 rng(31);
    Signed s = makeSigned(rng, sha256Constants());
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
        carry += unsigned(s.v[i]) + groupOrder[i];
        s.v[i] = static_cast<uint8_t>(carry);
        carry >>= 8;
    }
    ASSERT_EQ(carry, 0u);  // v < l, so v + l < 2^254
    EXPECT_TRUE(verify(s, sha256Constants()));
}

TEST(Signature, CommitmentScalarMixesAndClamps) {
    std::mt19937 rng(41);
    Digest digest = randomArray<20>(rng);
    Commitment r = randomArray<16>(rng);
    Bytes32 e{};
    unsigned int length = 0;
    ASSERT_EQ(EVP_Digest(digest.data(), digest.size(), e.data(), &length, EVP_sha256(), nullptr), 1);
    Bytes32 expected = e;
    for (int i = 0; i < 16; ++i) {
        expected[8 + i] ^= r[i];
    }
    expected[0] &= 0xF8;
    expected[31] = static_cast<uint8_t>((expected[31] & 0x7F) | 0x40);
    Bytes32 h{};
    commitmentScalar(digest.data(), r.data(), sha256Constants(), h.data());
    EXPECT_EQ(h, expected);
}

// The public key is u(x G); G is the negation of RFC 7748's base point and
// has the same u, so it equals the X25519 public key of the same scalar.
TEST(KeyDerivation, PublicKeyIsTheX25519PublicKey) {
    std::mt19937 rng(51);
    int kept = 0;
    int negated = 0;
    for (int round = 0; round < 24; ++round) {
        Bytes32 scalar = randomArray<32>(rng);
        scalar[0] &= 0xF8;
        scalar[31] = static_cast<uint8_t>((scalar[31] & 0x7F) | 0x40);
        Bytes32 publicKey{};
        Bytes32 adjusted{};
        ASSERT_TRUE(derivePublicKey(scalar.data(), publicKey.data(), adjusted.data()));

        EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), 32);
        Bytes32 expected{};
        size_t length = expected.size();
        ASSERT_EQ(EVP_PKEY_get_raw_public_key(key, expected.data(), &length), 1);
        EVP_PKEY_free(key);
        EXPECT_EQ(publicKey, expected) << "round " << round;

        // The adjusted scalar is x or l - x, is its own adjustment and gives the same key.
        GroupScalar x = scalarFromBytes(scalar.data());
        Bytes32 reduced{};
        Bytes32 negative{};
        scalarToBytes(reduced.data(), x);
        scalarToBytes(negative.data(), scalarNegate(x));
        kept += adjusted == reduced;
        negated += adjusted == negative;
        EXPECT_TRUE(adjusted == reduced || adjusted == negative) << "round " << round;
        Bytes32 again{};
        Bytes32 adjustedAgain{};
        ASSERT_TRUE(derivePublicKey(adjusted.data(), again.data(), adjustedAgain.data()));
        EXPECT_EQ(again, publicKey);
        EXPECT_EQ(adjustedAgain, adjusted);
    }
    // Both cases occur: a parity test that always said "even" would not
    // be seen by the round trips alone when the signer agrees with it.
    EXPECT_GT(kept, 0);
    EXPECT_GT(negated, 0);
}

TEST(KeyDerivation, UnusableScalarsAndNoncesAreRefused) {
    Bytes32 zero{};
    Bytes32 one{1};
    Bytes32 minusOne = groupOrder;
    minusOne[0] -= 1;
    Bytes32 publicKey{};
    Bytes32 adjusted{};
    const Bytes32* unusable[] = {&zero, &one, &minusOne, &groupOrder};
    for (const Bytes32* scalar : unusable) {
        EXPECT_FALSE(derivePublicKey(scalar->data(), publicKey.data(), adjusted.data()));
    }
    Bytes32 good{};
    good[0] = 0x77;
    good[20] = 0x31;
    Digest digest{};
    Commitment r{};
    Bytes32 v{};
    EXPECT_FALSE(signDigest(digest.data(), good.data(), zero.data(), sha256Constants(), r.data(), v.data()));
    EXPECT_FALSE(signDigest(digest.data(), good.data(), groupOrder.data(), sha256Constants(), r.data(), v.data()));
    EXPECT_TRUE(signDigest(digest.data(), good.data(), one.data(), sha256Constants(), r.data(), v.data()));
}

}  // namespace
}  // namespace velmora
