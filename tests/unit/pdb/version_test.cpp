#include <gtest/gtest.h>

#include <string>

#include "pdb/version.h"
#include "planning/package_record.h"

namespace velmora {
namespace {

struct VersionTextRow {
    const char* name;
    Version version;
    const char* text;
};

class VersionTextTest : public ::testing::TestWithParam<VersionTextRow> {};

TEST_P(VersionTextTest, PrintsTheTextForm) {
    EXPECT_STREQ(versionText(GetParam().version), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionTextTest,
    ::testing::Values(VersionTextRow{"ReleaseCandidate", 0x03146302, "3.20rc2"},
                      VersionTextRow{"FinalRelease", 0x03146600, "3.20"},
                      VersionTextRow{"PatchRelease", 0x03146601, "3.20.1"},
                      VersionTextRow{"BetaWithoutNumber", 0x05006200, "5.0beta"},
                      VersionTextRow{"Alpha", 0x03146101, "3.20alpha1"},
                      VersionTextRow{"NoVersion", 0, "0.0"},
                      VersionTextRow{"LargestPatch", 0xFFFF66FF, "255.255.255"},
                      VersionTextRow{"LargestAlpha", 0xFFFF61FF, "255.255alpha255"},
                      VersionTextRow{"UnknownKindPrintsNoSuffix", 0x01020301, "1.21"},
                      VersionTextRow{"UnknownKindWithoutNumber", 0x01027A00, "1.2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VersionText, SharesOneBufferBetweenCalls) {
    const char* first = versionText(0x06016600);
    const char* second = versionText(0x06016603);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "6.1.3");
}

TEST(VersionOrder, UnsignedComparisonOrdersReleases) {
    const Version ordered[] = {0x03146101, 0x03146201, 0x03146302, 0x03146600, 0x03146601, 0x03156101};
    for (std::size_t i = 1; i < sizeof ordered / sizeof ordered[0]; ++i) {
        EXPECT_LT(ordered[i - 1], ordered[i]) << versionText(ordered[i]);
    }
}

TEST(Labels, RecordAndRequirementLabels) {
    PackageRecord record("stavel");
    EXPECT_EQ(recordLabel(record), "stavel-0.0");
    record.version = 0x06016600;
    EXPECT_EQ(recordLabel(record), "stavel-6.1");
    EXPECT_EQ(requirementLabel("stavel", 0), "stavel");
    EXPECT_EQ(requirementLabel("stavel", 0x06016600), "stavel-6.1");
}

}  // namespace
}  // namespace velmora
