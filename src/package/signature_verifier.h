#pragma once
// The check of a package signature's commitment r and value v against the
// SHA-1 digest d of the signed range and the trusted public key:
//   h = clamp(packageHash(d) with bytes 8..23 xored with r)
//   Y = v P + h G,  accepted when packageHash(u(Y)) begins with r,
// where P is the public key's point with the even v-coordinate and G the
// point u = 9 with the even v-coordinate. v and h are used whole.

#include <cstdint>

#include "package/package_hash.h"

namespace velmora {

constexpr int signatureDigestSize = 20;
constexpr int signatureCommitmentSize = 16;
constexpr int signatureValueSize = 32;
constexpr int publicKeySize = 32;

// h: the hash of the digest mixed with the commitment, clamped as a
// Curve25519 scalar (three low bits clear, bit 255 clear, bit 254 set).
void commitmentScalar(const uint8_t digest[20], const uint8_t r[16], const PackageHashConstants& constants,
                      uint8_t h[32]);

// True exactly when the commitment and value satisfy the equation above.
// Allocates nothing; a public key that is not on the curve, or is G's own,
// gives false.
bool verifyCommitment(const uint8_t digest[20], const uint8_t r[16], const uint8_t v[32],
                      const uint8_t publicKey[32], const PackageHashConstants& constants);

}  // namespace velmora
