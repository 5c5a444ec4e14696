#include <gtest/gtest.h>

#include <string>

#include "pdb/version.h"
#include "version_text.h"

namespace velmora {
namespace {

TEST(ParseVersionText, GivesThePackedVersionOrNothing) {
    const struct {
        const char* text;
        std::optional<Version> expected;
    } rows[] = {
        {"6.1", 0x06016600},        {"6.1.3", 0x06016603},         {"3.20rc2", 0x03146302},
        {"5.0beta", 0x05006200},    {"3.20alpha1", 0x03146101},    {"3.20beta1", 0x03146201},
        {"1.2rc", 0x01026300},      {"6.1.0", 0x06016600},         {"0.0", 0x00006600},
        {"255.255.255", 0xFFFF66FF}, {"255.255alpha255", 0xFFFF61FF}, {"06.01", 0x06016600},
        // Refused: malformed, out of range (a huge number must not wrap), unknown or upper-case words,
        // a patch with a pre-release, blanks and signs.
        {"", {}},        {"6", {}},        {"6.1.", {}},      {".1", {}},         {"6..1", {}},
        {"6.1.3.4", {}}, {"256.1", {}},    {"6.256", {}},     {"6.1.256", {}},    {"6.1rc256", {}},
        {"4294967302.1", {}}, {"6.1gamma", {}}, {"6.1RC1", {}}, {"6.1.3rc1", {}}, {"6.1-rc1", {}},
        {"6.1rc1x", {}}, {" 6.1", {}},     {"6.1 ", {}},      {"+6.1", {}},       {"a.b", {}},
    };
    for (const auto& row : rows) EXPECT_EQ(parseVersionText(row.text), row.expected) << '"' << row.text << '"';
}

// The parser is the inverse of the text form for every kind the tool
// writes: what a listing shows can be typed back in.
TEST(ParseVersionText, ReadsBackEveryTextFormOfKnownKinds) {
    for (unsigned major : {0u, 1u, 20u, 255u}) {
        for (unsigned minor : {0u, 9u, 255u}) {
            for (unsigned kind : {'a', 'b', 'c', 'f'}) {
                for (unsigned number : {0u, 1u, 42u, 255u}) {
                    const Version version = major << 24 | minor << 16 | kind << 8 | number;
                    EXPECT_EQ(parseVersionText(versionText(version)), version) << versionText(version);
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

TEST(ParseDependencyText, SplitsNameBoundsAndPriority) {
    const struct {
        const char* text;
        bool withPriority;
        std::optional<Dependency> expected;
    } rows[] = {
        {"base", false, Dependency{"base", 0, 0, 0}},
        {"base:6.1", false, Dependency{"base", 0x06016600, 0, 0}},
        {"base::7.0", false, Dependency{"base", 0, 0x07006600, 0}},
        {"base:6.1:7.0rc1", false, Dependency{"base", 0x06016600, 0x07006301, 0}},
        {"base:0:0", false, Dependency{"base", 0, 0, 0}},
        {"web:1.0:2.0:-5", true, Dependency{"web", 0x01006600, 0x02006600, -5}},
        {"web:1.0::", true, Dependency{"web", 0x01006600, 0, 0}},
        {"abcdefghijklmnop", false, Dependency{"abcdefghijklmnop", 0, 0, 0}},
        {"base:7.0:7.0", false, Dependency{"base", 0x07006600, 0x07006600, 0}},
        // Refused: a name of 17 characters, empty, beginning with a dot, with
        // a slash or a blank; a minimum above the maximum; a bad bound; a
        // priority where none is taken; too many fields; a priority that is
        // no number, has trailing letters or is out of range.
        {"abcdefghijklmnopq", false, {}}, {".hidden", false, {}},      {"base:2.0:1.0", false, {}},
        {":6.1", false, {}},             {"a/b", false, {}},
        {"a b", false, {}},              {"base:six", false, {}},       {"base:6.1:7.0:3", false, {}},
        {"web:1.0:2.0:3:4", true, {}},   {"web:::high", true, {}},      {"web:::3x", true, {}},
        {"web:::2147483648", true, {}},
    };
    for (const auto& row : rows) {
        std::string error;
        const auto parsed = parseDependencyText(row.text, row.withPriority, error);
        ASSERT_EQ(parsed.has_value(), row.expected.has_value()) << row.text << ": " << error;
        if (!parsed) {
            EXPECT_FALSE(error.empty()) << row.text;
            continue;
        }
        EXPECT_EQ(parsed->name, row.expected->name);
        EXPECT_EQ(parsed->min, row.expected->min) << row.text;
        EXPECT_EQ(parsed->max, row.expected->max) << row.text;
        EXPECT_EQ(parsed->priority, row.expected->priority) << row.text;
    }
}

}  // namespace
}  // namespace velmora
