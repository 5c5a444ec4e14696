#pragma once
// Secret random bytes for keys and signing nonces, from the kernel's random
// source (getrandom). Never from a clock: a guessable nonce gives the
// private key away.

#include <cstddef>
#include <cstdint>

namespace velmora {

// Fills out with count random bytes; false when the kernel gives none.
bool systemRandomBytes(std::uint8_t* out, std::size_t count);

}  // namespace velmora
