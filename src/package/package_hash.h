#pragma once
// The package hash: the SHA-256 construction (padding, message schedule,
// compression, big-endian output) with its 64 round constants and 8 initial
// words taken from the key material instead of the standard values.

#include <cstddef>
#include <cstdint>

namespace velmora {

struct PackageHashConstants {
    uint32_t k[64];  // round constants
    uint32_t h[8];   // initial words
};

void packageHash(const uint8_t* bytes, size_t length, uint8_t out[32],
                 const PackageHashConstants& constants);

// The standard SHA-256 values: with them packageHash is SHA-256.
const PackageHashConstants& sha256Constants();

}  // namespace velmora
