#pragma once
// The signing side of the package signature, for the package tool: key
// derivation and the signature (r, v) of a digest. The private key is a
// scalar x modulo the group order l; the public key is u(x G). Because the
// verifier lifts the public key to the point with the even v-coordinate,
// x is replaced by l - x whenever x G has an odd one.

#include <cstdint>

#include "package/package_hash.h"

namespace velmora {

// publicKey = u(x G); adjustedScalar = x or l - x, reduced modulo l, such
// that adjustedScalar G has an even v-coordinate. False for x = 0, 1 or
// -1 modulo l, which make no usable key.
bool derivePublicKey(const uint8_t privateScalar[32], uint8_t publicKey[32], uint8_t adjustedScalar[32]);

// Signs a digest with the private scalar (adjusted or not) and a fresh
// secret nonce k: Y = k G, r = packageHash(u(Y))[0..16), h as the verifier
// computes it, v = (k - h) / x modulo l, so that v P + h G = Y. False when
// the key is unusable or k = 0 modulo l; the caller draws a new k.
bool signDigest(const uint8_t digest[20], const uint8_t privateScalar[32], const uint8_t k[32],
                const PackageHashConstants& constants, uint8_t r[16], uint8_t v[32]);

}  // namespace velmora
