#include "package/package_hash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

namespace velmora {
namespace {

std::vector<uint8_t> hashOf(const std::vector<uint8_t>& data, const PackageHashConstants& constants) {
    std::vector<uint8_t> out(32);
    packageHash(data.data(), data.size(), out.data(), constants);
    return out;
}

// Lengths around the padding boundaries (55 is the longest tail that fits
// one padded block, 56..63 need a second one, 64 a block of padding alone),
// then random ones.
TEST(PackageHash, StandardConstantsGiveSha256) {
    std::vector<std::size_t> lengths = {0, 1, 20, 32, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1000, 4099};
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) lengths.push_back(rng() % 300);
    for (std::size_t length : lengths) {
        std::vector<uint8_t> data(length);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> expected(32);
        unsigned int size = 0;
        ASSERT_EQ(EVP_Digest(data.data(), data.size(), expected.data(), &size, EVP_sha256(), nullptr), 1);
        EXPECT_EQ(hashOf(data, sha256Constants()), expected) << "length " << length;
    }
}

// Every constant must reach the output: a hash that ignored part of the
// key material would accept signatures made with other constants.
TEST(PackageHash, EveryConstantEntersTheHash) {
    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    const std::vector<uint8_t> reference = hashOf(data, sha256Constants());
    for (int i = 0; i < 72; ++i) {
        PackageHashConstants changed = sha256Constants();
        (i < 64 ? changed.k[i] : changed.h[i - 64]) ^= 0x00010000;
        EXPECT_NE(hashOf(data, changed), reference) << "constant " << i;
    }
}

}  // namespace
}  // namespace velmora
