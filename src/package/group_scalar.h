#pragma once
// Integers modulo the prime order of Curve25519's main subgroup,
// l = 2^252 + 27742317777372353535851937790883648493: the arithmetic of the
// signing side. Eight 32-bit words, least significant first, always reduced;
// no operation branches on the values.

#include <cstdint>

namespace velmora {

struct GroupScalar {
    uint32_t word[8];
};

// A little-endian 256-bit number, reduced modulo l.
GroupScalar scalarFromBytes(const uint8_t in[32]);
void scalarToBytes(uint8_t out[32], const GroupScalar& a);

GroupScalar scalarAdd(const GroupScalar& a, const GroupScalar& b);
GroupScalar scalarSub(const GroupScalar& a, const GroupScalar& b);
GroupScalar scalarNegate(const GroupScalar& a);
GroupScalar scalarMul(const GroupScalar& a, const GroupScalar& b);
// a^(l - 2): the inverse of a, and 0 for 0.
GroupScalar scalarInvert(const GroupScalar& a);
bool scalarIsZero(const GroupScalar& a);

}  // namespace velmora
