#pragma once
// The curve half of the signature check, over the installer's built-in key.

#include <cstdint>

namespace velmora {

// True when commitment r and value v sign the 20-byte digest under the
// installer's public key.
bool verifyCommitment(const std::uint8_t digest[20], const std::uint8_t r[16], const std::uint8_t v[32]);

}  // namespace velmora
