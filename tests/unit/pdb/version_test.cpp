#include "pdb/version.h"

#include <gtest/gtest.h>

#include "planning/dependency_rules.h"

using namespace velmora;

// The text form (an unknown kind prints no suffix); alpha before beta before rc before the release and its
// patches, whatever the top bit.
TEST(Version, TextAndOrder) {
    const std::pair<Version, const char*> rows[] = {
        {0x03146101, "3.20alpha1"}, {0x03146201, "3.20beta1"}, {0x03146302, "3.20rc2"}, {0x03146600, "3.20"},
        {0x03146601, "3.20.1"}, {0x03156101, "3.21alpha1"}, {0x80006600, "128.0"}, {0xFFFF61FF, "255.255alpha255"},
        {0xFFFF66FF, "255.255.255"}, {0, "0.0"}, {0x05006200, "5.0beta"}, {0x01020301, "1.21"}, {0x01027A00, "1.2"}};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_STREQ(versionText(rows[i].first), rows[i].second);
        PackageInfo older("x"), newer("x"); older.version = rows[i ? i - 1 : 0].first, newer.version = rows[i].first;
        EXPECT_TRUE(i == 0 || i >= 7 || compareVersions(newer, older) == 1) << rows[i].second;
    }
}
