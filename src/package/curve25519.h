#pragma once
// Points of Curve25519, v^2 = u^3 + 486662 u^2 + u, worked mostly through
// their u-coordinates: the Montgomery ladder of RFC 7748, the lifting of a
// u-coordinate to the point with the even v-coordinate, and the combination
// a*P + b*G that the signature check needs.
//
// G is the point with u = 9 and an even v-coordinate (the negation of the
// base point as RFC 7748 writes it); both it and the base point generate the
// subgroup of prime order.

#include <cstdint>

#include "package/field25519.h"

namespace velmora {

struct AffinePoint {
    FieldElement u;
    FieldElement v;
};

// Projective u-coordinate u = x / z; z = 0 is the neutral element.
struct ProjectiveU {
    FieldElement x;
    FieldElement z;
};

constexpr uint32_t curveA = 486662;

// The point with the given u-coordinate and an even v-coordinate; false when
// u^3 + 486662 u^2 + u has no square root (u is not on the curve).
bool liftEvenPoint(const FieldElement& u, AffinePoint& point);

// G: u = 9, even v.
const AffinePoint& generatorPoint();

// u(a + b) by the affine addition law; false when u(a) == u(b), where the
// law does not apply (a = b or a = -b).
bool affineSumU(const AffinePoint& a, const AffinePoint& b, FieldElement& u);

// The Montgomery ladder over all 256 bits of a little-endian scalar n, in
// constant time: on return low = n*P and high = (n+1)*P for the point P with
// the given u-coordinate (either of the two, the ladder cannot tell them apart).
void montgomeryLadder(const uint8_t scalar[32], const FieldElement& u, ProjectiveU& low, ProjectiveU& high);

// RFC 7748's x-only scalar multiplication with the scalar used as given: the
// caller clamps it when it wants X25519. u is decoded with bit 255 ignored;
// the result is encoded canonically, 0 for the neutral element.
void scalarMultU(const uint8_t scalar[32], const uint8_t u[32], uint8_t out[32]);

// u(a*P + b*G) for little-endian 256-bit a and b, used whole, where P is the
// point with u-coordinate pointU and an even v-coordinate. The neutral
// element gives 0. False when pointU is not on the curve or P = +-G.
bool combinationU(const uint8_t a[32], const uint8_t pointU[32], const uint8_t b[32], FieldElement& u);

// x / z, 0 for the neutral element.
FieldElement affineU(const ProjectiveU& point);

}  // namespace velmora
