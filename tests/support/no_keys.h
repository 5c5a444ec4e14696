#pragma once
// Public keys that are no key (and one near one that is), as key-file tokens, for the tests of every
// reader of key files.

#include <string>
#include <vector>

#include "package/key_check.h"

namespace velmora {

struct KeyRow {
    const char* name;
    std::string hex;  // 64 hex digits, byte 0 first
    KeyFault fault;
};

// Zero and the three NotReduced rows are the four encodings of u = 0.
inline std::vector<KeyRow> keyRows() {
    const std::string zeros(62, '0'), ones(60, 'f');
    return {
        {"Zero", "00" + zeros, KeyFault::Zero}, {"ZeroWithBit255", zeros + "80", KeyFault::NotReduced},
        {"P", "ed" + ones + "7f", KeyFault::NotReduced}, {"PWithBit255", "ed" + ones + "ff", KeyFault::NotReduced},
        {"One", "01" + zeros, KeyFault::One}, {"MinusOne", "ec" + ones + "7f", KeyFault::MinusOne},
        {"BasePoint", "09" + zeros, KeyFault::BasePoint},
        {"OrderEight", "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800", KeyFault::OrderEight},
        {"OrderEight2", "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157", KeyFault::OrderEight},
        {"Two", "02" + zeros, KeyFault::NotOnCurve}, {"PMinusTwo", "eb" + ones + "7f", KeyFault::None},  // on the curve
    };
}

}  // namespace velmora
