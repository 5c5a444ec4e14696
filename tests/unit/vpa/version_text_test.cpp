// Version and requirement texts of vpa's command line.

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "pdb/version.h"
#include "version_text.h"

namespace velmora {

TEST(VersionText, ParsesThePackedVersionOrNothing) {
    // Refused: a huge number must not wrap; no patch with a pre-release; no blanks.
    const std::pair<const char*, std::optional<Version>> rows[] = {
        {"6.1", 0x06016600}, {"6.1.3", 0x06016603}, {"3.20rc2", 0x03146302}, {"5.0beta", 0x05006200},
        {"3.20alpha1", 0x03146101}, {"255.255.255", 0xFFFF66FF}, {"06.01", 0x06016600}, {"", {}}, {"6", {}},
        {"6.1.", {}}, {"6..1", {}}, {"256.1", {}}, {"4294967302.1", {}}, {"6.1gamma", {}}, {"6.1.3rc1", {}},
        {"6.1rc1x", {}}, {"6.1 ", {}},
    };
    for (const auto& [text, expected] : rows) EXPECT_EQ(parseVersionText(text), expected) << '"' << text << '"';
    // What a listing shows can be typed back in.
    for (Version v : {0x6600u, 0x01096101u, 0xFFFF63FFu, 0x0A0066FFu}) EXPECT_EQ(parseVersionText(versionText(v)), v);
}

TEST(VersionText, ParsesRequirements) {
    using Fields = std::tuple<std::string, Version, Version, std::int32_t>;  // name "": refused
    const struct { const char* text; bool withPriority; Fields expected; } rows[] = {
        {"base", 0, {"base", 0, 0, 0}}, {"base:6.1", 0, {"base", 0x06016600, 0, 0}}, {"base:0:0", 0, {"base", 0, 0, 0}},
        {"base::7.0", 0, {"base", 0, 0x07006600, 0}}, {"b:7.0:7.0", 0, {"b", 0x07006600, 0x07006600, 0}},
        {"web:1.0:2.0:-5", 1, {"web", 0x01006600, 0x02006600, -5}}, {"web:1.0::", 1, {"web", 0x01006600, 0, 0}},
        {"abcdefghijklmnop", 0, {"abcdefghijklmnop", 0, 0, 0}}, {"abcdefghijklmnopq", 0, {}}, {"a b", 0, {}},
        {"a/b", 0, {}}, {":6.1", 0, {}}, {"base:00", 0, {}}, {"b:7.0:6.1", 0, {}}, {"b:6.1:7.0:3", 0, {}},
        {"web:1.0:2.0:3:4", 1, {}}, {"web:::3x", 1, {}}, {"web:::2147483648", 1, {}},
    };
    for (const auto& row : rows) {
        std::string error; const auto parsed = parseDependencyText(row.text, row.withPriority, error);
        const Fields got = parsed ? Fields{parsed->name, parsed->min, parsed->max, parsed->priority} : Fields{};
        EXPECT_EQ(got, row.expected) << row.text; EXPECT_EQ(error.empty(), parsed.has_value()) << row.text;
    }
}

}  // namespace velmora
