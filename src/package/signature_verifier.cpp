#include "package/signature_verifier.h"

#include "package/curve25519.h"

namespace velmora {

void commitmentScalar(const uint8_t digest[20], const uint8_t r[16], const PackageHashConstants& constants,
                      uint8_t h[32]) {
    packageHash(digest, signatureDigestSize, h, constants);
    for (int i = 0; i < signatureCommitmentSize; ++i) {
        h[8 + i] ^= r[i];
    }
    h[0] &= 0xF8;
    h[31] = static_cast<uint8_t>((h[31] & 0x7F) | 0x40);
}

bool verifyCommitment(const uint8_t digest[20], const uint8_t r[16], const uint8_t v[32],
                      const uint8_t publicKey[32], const PackageHashConstants& constants) {
    uint8_t h[32];
    commitmentScalar(digest, r, constants, h);
    FieldElement yU;
    if (!combinationU(v, publicKey, h, yU)) {
        return false;
    }
    uint8_t y[32];
    feEncode(y, yU);
    uint8_t c[32];
    packageHash(y, sizeof y, c, constants);
    uint8_t difference = 0;
    for (int i = 0; i < signatureCommitmentSize; ++i) {
        difference |= static_cast<uint8_t>(c[i] ^ r[i]);
    }
    return difference == 0;
}

}  // namespace velmora
