#include "pdb/version.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "planning/dependency_rules.h"

namespace velmora {
namespace {

TEST(VersionText, PrintsTheTextForm) {
    const std::pair<Version, const char*> rows[] = {
        {0x03146302, "3.20rc2"},         {0x03146600, "3.20"},   {0x03146601, "3.20.1"},
        {0x05006200, "5.0beta"},         {0x03146101, "3.20alpha1"}, {0, "0.0"},
        {0xFFFF66FF, "255.255.255"},     {0xFFFF61FF, "255.255alpha255"},
        {0x01020301, "1.21"},  // an unknown kind prints no suffix
        {0x01027A00, "1.2"},
    };
    for (const auto& [version, text] : rows) EXPECT_STREQ(versionText(version), text) << std::hex << version;
}

// Alpha before beta before rc before the final release and its patches,
// whatever the top bit.
TEST(VersionOrder, ReleasesOrderAsTheirNumbers) {
    const Version ordered[] = {0x03146101, 0x03146201, 0x03146302, 0x03146600, 0x03146601, 0x03156101, 0x80006600};
    for (std::size_t i = 1; i < std::size(ordered); ++i) {
        PackageInfo older("x"), newer("x");
        older.version = ordered[i - 1];
        newer.version = ordered[i];
        EXPECT_EQ(compareVersions(newer, older), 1) << versionText(ordered[i]);
    }
}

}  // namespace
}  // namespace velmora
