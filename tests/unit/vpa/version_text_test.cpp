#include <gtest/gtest.h>

#include <string>

#include "pdb/version.h"
#include "version_text.h"

namespace velmora {
namespace {

struct VersionTextRow {
    const char* name;
    const char* text;
    std::optional<Version> expected;
};

class ParseVersionTextTest : public ::testing::TestWithParam<VersionTextRow> {};

TEST_P(ParseVersionTextTest, GivesThePackedVersionOrNothing) {
    auto parsed = parseVersionText(GetParam().text);
    ASSERT_EQ(parsed.has_value(), GetParam().expected.has_value()) << '"' << GetParam().text << '"';
    if (parsed) {
        EXPECT_EQ(*parsed, *GetParam().expected) << std::hex << *parsed;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Valid, ParseVersionTextTest,
    ::testing::Values(VersionTextRow{"Final", "6.1", 0x06016600}, VersionTextRow{"Patch", "6.1.3", 0x06016603},
                      VersionTextRow{"ReleaseCandidate", "3.20rc2", 0x03146302},
                      VersionTextRow{"BetaWithoutNumber", "5.0beta", 0x05006200},
                      VersionTextRow{"Alpha", "3.20alpha1", 0x03146101},
                      VersionTextRow{"Beta", "3.20beta1", 0x03146201},
                      VersionTextRow{"RcWithoutNumber", "1.2rc", 0x01026300},
                      VersionTextRow{"ZeroPatchIsFinal", "6.1.0", 0x06016600},
                      VersionTextRow{"ZeroZero", "0.0", 0x00006600},
                      VersionTextRow{"Largest", "255.255.255", 0xFFFF66FF},
                      VersionTextRow{"LargestAlpha", "255.255alpha255", 0xFFFF61FF},
                      VersionTextRow{"LeadingZeros", "06.01", 0x06016600}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Invalid, ParseVersionTextTest,
    ::testing::Values(VersionTextRow{"Empty", "", std::nullopt}, VersionTextRow{"MajorOnly", "6", std::nullopt},
                      VersionTextRow{"TrailingDot", "6.1.", std::nullopt},
                      VersionTextRow{"NoMajor", ".1", std::nullopt},
                      VersionTextRow{"DoubleDot", "6..1", std::nullopt},
                      VersionTextRow{"FourComponents", "6.1.3.4", std::nullopt},
                      VersionTextRow{"MajorTooLarge", "256.1", std::nullopt},
                      VersionTextRow{"MinorTooLarge", "6.256", std::nullopt},
                      VersionTextRow{"PatchTooLarge", "6.1.256", std::nullopt},
                      VersionTextRow{"PreReleaseNumberTooLarge", "6.1rc256", std::nullopt},
                      VersionTextRow{"HugeNumberDoesNotWrap", "4294967302.1", std::nullopt},
                      VersionTextRow{"UnknownWord", "6.1gamma", std::nullopt},
                      VersionTextRow{"WordsAreLowerCase", "6.1RC1", std::nullopt},
                      VersionTextRow{"PatchAndPreRelease", "6.1.3rc1", std::nullopt},
                      VersionTextRow{"DashBeforeWord", "6.1-rc1", std::nullopt},
                      VersionTextRow{"TrailingGarbage", "6.1rc1x", std::nullopt},
                      VersionTextRow{"LeadingBlank", " 6.1", std::nullopt},
                      VersionTextRow{"TrailingBlank", "6.1 ", std::nullopt},
                      VersionTextRow{"Signed", "+6.1", std::nullopt},
                      VersionTextRow{"Letters", "a.b", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// The parser is the inverse of the text form for every kind the tool
// writes: what a listing shows can be typed back in.
TEST(ParseVersionText, ReadsBackEveryTextFormOfKnownKinds) {
    for (unsigned major : {0u, 1u, 20u, 255u}) {
        for (unsigned minor : {0u, 9u, 255u}) {
            for (unsigned kind : {'a', 'b', 'c', 'f'}) {
                for (unsigned number : {0u, 1u, 42u, 255u}) {
                    Version version = major << 24 | minor << 16 | kind << 8 | number;
                    auto parsed = parseVersionText(versionText(version));
                    ASSERT_TRUE(parsed.has_value()) << versionText(version);
                    EXPECT_EQ(*parsed, version) << versionText(version);
                }
            }
        }
    }
}

TEST(ParseVersionBound, EmptyAndZeroAreUnbounded) {
    EXPECT_EQ(parseVersionBound(""), Version{0});
    EXPECT_EQ(parseVersionBound("0"), Version{0});
    EXPECT_EQ(parseVersionBound("6.1"), Version{0x06016600});
    EXPECT_FALSE(parseVersionBound("00").has_value());
    EXPECT_FALSE(parseVersionBound("x").has_value());
}

struct DependencyRow {
    const char* name;
    const char* text;
    bool withPriority;
    bool valid;
    Dependency expected;
};

class ParseDependencyTextTest : public ::testing::TestWithParam<DependencyRow> {};

TEST_P(ParseDependencyTextTest, SplitsNameBoundsAndPriority) {
    const DependencyRow& row = GetParam();
    std::string error;
    auto parsed = parseDependencyText(row.text, row.withPriority, error);
    ASSERT_EQ(parsed.has_value(), row.valid) << row.text << ": " << error;
    if (!parsed) {
        EXPECT_FALSE(error.empty());
        return;
    }
    EXPECT_EQ(parsed->name, row.expected.name);
    EXPECT_EQ(parsed->min, row.expected.min);
    EXPECT_EQ(parsed->max, row.expected.max);
    EXPECT_EQ(parsed->priority, row.expected.priority);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseDependencyTextTest,
    ::testing::Values(
        DependencyRow{"NameOnly", "base", false, true, {"base", 0, 0, 0}},
        DependencyRow{"Minimum", "base:6.1", false, true, {"base", 0x06016600, 0, 0}},
        DependencyRow{"MaximumOnly", "base::7.0", false, true, {"base", 0, 0x07006600, 0}},
        DependencyRow{"BothBounds", "base:6.1:7.0rc1", false, true, {"base", 0x06016600, 0x07006301, 0}},
        DependencyRow{"ZeroIsUnbounded", "base:0:0", false, true, {"base", 0, 0, 0}},
        DependencyRow{"NegativePriority", "web:1.0:2.0:-5", true, true, {"web", 0x01006600, 0x02006600, -5}},
        DependencyRow{"EmptyPriority", "web:1.0::", true, true, {"web", 0x01006600, 0, 0}},
        DependencyRow{"FifteenCharacterName", "abcdefghijklmno", false, true, {"abcdefghijklmno", 0, 0, 0}},
        DependencyRow{"SixteenCharacterName", "abcdefghijklmnop", false, false, {}},
        DependencyRow{"EmptyName", ":6.1", false, false, {}},
        DependencyRow{"SlashInName", "a/b", false, false, {}},
        DependencyRow{"BlankInName", "a b", false, false, {}},
        DependencyRow{"BadBound", "base:six", false, false, {}},
        DependencyRow{"PriorityWhereNoneIsTaken", "base:6.1:7.0:3", false, false, {}},
        DependencyRow{"TooManyFields", "web:1.0:2.0:3:4", true, false, {}},
        DependencyRow{"PriorityNotANumber", "web:::high", true, false, {}},
        DependencyRow{"PriorityOutOfRange", "web:::2147483648", true, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
