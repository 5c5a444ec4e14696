#pragma once
// The curve half of the signature check, and the key it is made against.

#include <cstdint>

#include "package/package_hash.h"

namespace velmora {

// A public key and the package-hash constants that go with it.
struct TrustedKey {
    const std::uint8_t* publicKey;  // 32 bytes
    const PackageHashConstants* constants;
};

// The key fixed into this build.
TrustedKey builtInKey();

// True when commitment r and value v sign the 20-byte digest under the
// installer's public key.
bool verifyCommitment(const std::uint8_t digest[20], const std::uint8_t r[16], const std::uint8_t v[32]);

}  // namespace velmora
