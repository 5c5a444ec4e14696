#include "package/package_hash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

namespace velmora {
namespace {

std::vector<uint8_t> opensslSha256(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(32);
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr), 1);
    return out;
}

std::vector<uint8_t> hashOf(const std::vector<uint8_t>& data, const PackageHashConstants& constants) {
    std::vector<uint8_t> out(32);
    packageHash(data.data(), data.size(), out.data(), constants);
    return out;
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(n);
    for (auto& b : data) {
        b = static_cast<uint8_t>(rng());
    }
    return data;
}

// Lengths around the padding boundaries: 55 is the longest tail that fits
// one padded block, 56..63 need a second one, 64 a block of padding alone.
TEST(PackageHash, StandardConstantsGiveSha256AtEveryPaddingBoundary) {
    for (size_t length : {0, 1, 20, 32, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1000, 4099}) {
        std::vector<uint8_t> data = randomBytes(length, static_cast<uint32_t>(length));
        EXPECT_EQ(hashOf(data, sha256Constants()), opensslSha256(data)) << "length " << length;
    }
}

TEST(PackageHash, StandardConstantsGiveSha256OnRandomInputs) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        std::vector<uint8_t> data = randomBytes(rng() % 300, rng());
        EXPECT_EQ(hashOf(data, sha256Constants()), opensslSha256(data)) << "length " << data.size();
    }
}

// Every constant must reach the output: a hash that ignored part of the
// key material would accept signatures made with other constants.
TEST(PackageHash, EveryConstantEntersTheHash) {
    std::vector<uint8_t> data = randomBytes(20, 3);
    std::vector<uint8_t> reference = hashOf(data, sha256Constants());
    for (int i = 0; i < 72; ++i) {
        PackageHashConstants changed = sha256Constants();
        if (i < 64) {
            changed.k[i] ^= 0x00010000;
        } else {
            changed.h[i - 64] ^= 0x00010000;
        }
        EXPECT_NE(hashOf(data, changed), reference) << "constant " << i;
    }
}

}  // namespace
}  // namespace velmora
