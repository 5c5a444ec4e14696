#include "package/signature_signer.h"

#include "package/curve25519.h"
#include "package/group_scalar.h"
#include "package/signature_verifier.h"

namespace velmora {

namespace {

// The public point and the scalar whose multiple of G it is, v even.
bool deriveKey(const GroupScalar& x, uint8_t publicKey[32], GroupScalar& adjusted) {
    if (scalarIsZero(x)) {
        return false;
    }
    uint8_t xBytes[32];
    scalarToBytes(xBytes, x);
    const AffinePoint& g = generatorPoint();
    ProjectiveU low;
    ProjectiveU high;
    montgomeryLadder(xBytes, g.u, low, high);
    feEncode(publicKey, affineU(low));

    // low is x G = +-P with P the even lift of its u; which one shows in
    // high = (x + 1) G, which is P + G or G - P. P = +-G (x = +-1) leaves
    // no way to tell, and no key worth having.
    AffinePoint p;
    if (!liftEvenPoint(feDecode(publicKey), p)) {
        return false;
    }
    AffinePoint minusG = {g.u, feNegate(g.v)};
    FieldElement sumU;
    FieldElement differenceU;
    if (!affineSumU(p, g, sumU) || !affineSumU(p, minusG, differenceU)) {
        return false;
    }
    if (feIsZero(high.z)) {
        return false;
    }
    if (feEqual(high.x, feMul(sumU, high.z))) {
        adjusted = x;
        return true;
    }
    if (feEqual(high.x, feMul(differenceU, high.z))) {
        adjusted = scalarNegate(x);
        return true;
    }
    return false;
}

}  // namespace

bool derivePublicKey(const uint8_t privateScalar[32], uint8_t publicKey[32], uint8_t adjustedScalar[32]) {
    GroupScalar adjusted;
    if (!deriveKey(scalarFromBytes(privateScalar), publicKey, adjusted)) {
        return false;
    }
    scalarToBytes(adjustedScalar, adjusted);
    return true;
}

bool signDigest(const uint8_t digest[20], const uint8_t privateScalar[32], const uint8_t k[32],
                const PackageHashConstants& constants, uint8_t r[16], uint8_t v[32]) {
    uint8_t publicKey[32];
    GroupScalar x;
    if (!deriveKey(scalarFromBytes(privateScalar), publicKey, x)) {
        return false;
    }
    GroupScalar nonce = scalarFromBytes(k);
    if (scalarIsZero(nonce)) {
        return false;
    }
    uint8_t nonceBytes[32];
    scalarToBytes(nonceBytes, nonce);
    ProjectiveU low;
    ProjectiveU high;
    montgomeryLadder(nonceBytes, generatorPoint().u, low, high);
    uint8_t y[32];
    feEncode(y, affineU(low));
    uint8_t c[32];
    packageHash(y, sizeof y, c, constants);
    for (int i = 0; i < signatureCommitmentSize; ++i) {
        r[i] = c[i];
    }

    uint8_t h[32];
    commitmentScalar(digest, r, constants, h);
    GroupScalar value = scalarMul(scalarSub(nonce, scalarFromBytes(h)), scalarInvert(x));
    scalarToBytes(v, value);
    return true;
}

}  // namespace velmora
