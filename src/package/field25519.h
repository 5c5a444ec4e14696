#pragma once
// Arithmetic in GF(2^255 - 19), the field of Curve25519.
//
// An element is held in ten signed 32-bit limbs of alternately 26 and 25
// bits (limb i weighs 2^ceil(25.5 i)); products are formed in 64 bits, so
// the code needs neither a 128-bit type nor a 64-bit `long`, and it reads
// and writes bytes one at a time, whatever the byte order of the machine.
//
// Limb bounds: feMul, feSquare, feMulSmall, feDecode and the constants give
// "carried" elements (|limb| <= 2^25 + 2^16). feMul, feSquare and feMulSmall
// accept limbs below 2^27 in magnitude, that is any sum or difference of up
// to three carried elements. feEncode, feIsEven, feEqual and feIsZero accept
// anything the other operations produce.

#include <cstddef>
#include <cstdint>

namespace velmora {

struct FieldElement {
    int32_t limb[10];
};

FieldElement feFromSmall(uint32_t value);
FieldElement feAdd(const FieldElement& a, const FieldElement& b);
FieldElement feSub(const FieldElement& a, const FieldElement& b);
FieldElement feNegate(const FieldElement& a);
FieldElement feMul(const FieldElement& a, const FieldElement& b);
FieldElement feSquare(const FieldElement& a);
// a * factor, factor < 2^20 (486662, 121665; 1 brings a sum back into carried form).
FieldElement feMulSmall(const FieldElement& a, uint32_t factor);
// a^(p - 2): the inverse of a, and 0 for 0.
FieldElement feInvert(const FieldElement& a);
// a^((p - 5) / 8), the exponent of the square root for p = 5 mod 8.
FieldElement fePowP58(const FieldElement& a);

// Exchanges a and b when swap is 1, leaves them when it is 0, in constant time.
void feConditionalSwap(FieldElement& a, FieldElement& b, uint32_t swap);

// 32 bytes little-endian, fully reduced into [0, p).
void feEncode(uint8_t out[32], const FieldElement& a);
// 32 bytes little-endian; bit 255 is ignored and values from p to 2^255 - 1
// are accepted and taken modulo p, as RFC 7748 does for u-coordinates.
FieldElement feDecode(const uint8_t in[32]);

bool feIsEven(const FieldElement& a);  // of the canonical value
bool feIsZero(const FieldElement& a);
bool feEqual(const FieldElement& a, const FieldElement& b);

}  // namespace velmora
