// The builder's bytes, written out by hand from the format: little-endian words, zero-padded names.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "package_builder.h"

namespace velmora {

TEST(PackageBuilder, WritesTheFormatsBytes) {
    PackageRecipe recipe;
    recipe.name = "stavel", recipe.version = 0x06016603, recipe.buildTime = 1700000000, recipe.flags = 0x11223344;
    recipe.provides = {{"web", 0x01006600, 0x02006600, -3}};
    recipe.withArchive = false, recipe.withSignature = false; std::string image = buildPackage(recipe), hex;
    for (unsigned char byte : image) hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    EXPECT_EQ(hex, "1ef1d0ba52000000" "010024000000" "73746176656c00000000000000000000" "03660106"  // name, version
                   "00f15365" "0000000000000000" "44332211"                      // build time, reserved, flags
                   "130022000000" "0100" "77656200000000000000000000000000"      // provides part, count, name
                   "00660001" "00000000" "00660002" "fdffffff");                 // min, 0, max, priority
    // The damage helpers touch nothing when the part is not there.
    EXPECT_FALSE(setPartSize(image, PartNote, 1) || setDependencyCount(image, PartConflicts, 1));
}

}  // namespace velmora
