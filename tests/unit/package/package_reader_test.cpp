#include "package/package_reader.h"

#include <gtest/gtest.h>

#include "package_builder.h"
#include "package_bytes.h"

namespace velmora {
namespace {

using namespace velmora::test;
using namespace std::string_literals;

// name|version|flags|arch|text24|text2|note|deps|provides|conflicts (name min max priority;), "+keep" for a
// keep-image part.
std::string summary(const PackageInfo& i) {
    std::ostringstream o;
    o << i.name << '|' << std::hex << i.version << '|' << i.flags << '|' << i.arch << '|' << i.partText24 << '|'
      << i.partText2 << '|' << i.note;
    for (const auto* list : {&i.deps, &i.provides, &i.conflicts}) {
        o << '|';
        for (const Dependency& d : *list) o << d.name << ' ' << d.min << ' ' << d.max << ' ' << d.priority << ';';
    }
    return o.str() + (i.keepsImage ? "+keep" : "");
}

std::string list(std::vector<Dependency> entries, std::int64_t count = -1, std::string tail = "") {
    return le16(std::uint16_t(count < 0 ? entries.size() : count)) + encodeDependencyList(entries).substr(2) + tail;
}

// Untrusted header bytes: what is read, where the reader stops ("@type", "!"
// when the file failed), or "refused".
TEST(PackageReader, HeaderAndMetadata) {
    const std::string h = part(PartHeader, headerData("a"));
    auto header = [](std::string name) { return part(PartHeader, name.append(32 - name.size(), '\0')); };
    const struct {
        const char* name;
        std::vector<std::string> parts;
        std::string expected;
    } rows[] = {
        {"noFlagsWord", {h, part(PartArchitecture, "mips")}, "a|1|0|mips||||||@-1!"},
        {"flagsWordCut", {part(PartHeader, headerData("a", 1, "abc"))}, "a|1|0|i386||||||@-1!"},
        {"flagsWord", {part(PartHeader, headerData("a", 2, le32(0x80000003) + "t"))}, "a|2|80000003|i386||||||@-1!"},
        {"sixteenCharacters", {header("abcdefghijklmnop")}, "abcdefghijklmnop|0|0|i386||||||@-1!"},
        {"nameEndsAtZero", {header(std::string("ab\0cdefghijklmn", 16))}, "ab|0|0|i386||||||@-1!"},
        {"emptyName", {header("")}, "refused"},
        {"dot", {header(".")}, "refused"},
        {"dotDot", {header("..")}, "refused"},
        {"slash", {header("../etc")}, "refused"},
        {"31Bytes", {part(PartHeader, std::string(31, 'a'))}, "refused"},
        {"notAHeader", {part(PartText24, headerData("a"))}, "refused"},
        {"allInOrder", {part(PartHeader, headerData("stavel", 0x06010000, le32(1))), part(24, "text"), part(99, "?"),
          part(PartArchitecture, "powerpc"), part(PartText2, std::string("2\0b", 3)), part(PartNote, "a note"),
          part(PartDependencies, list({{"system", 0x06000000, 0x07000000, 0}, {"dhcp", 0, 0, 0}})),
          part(PartProvides, list({{"wireless", 0, 0, -5}})), part(PartConflicts, list({{"old", 1, 2, 3}})),
          part(PartKeepImage, "k"), part(PartFileArchive, "z")},
         "stavel|6010000|1|powerpc|text|2\0b|a note|system 6000000 7000000 0;dhcp 0 0 0;|"
         "wireless 0 0 fffffffb;|old 1 2 3;+keep@21"s},
        {"outOfOrder", {h, part(PartArchitecture, ""), part(24, "late"), part(PartNote, "n")}, "a|1|0|||||||@24"},
        {"countZero", {h, part(PartDependencies, le16(0)), part(PartNote, "n")}, "a|1|0|i386||||||@23"},
        {"trailingBytes", {h, part(3, list({{"x", 1, 2, 0}}, -1, "extra"))}, "a|1|0|i386||||x 1 2 0;||@-1!"},
        {"countPastThePart", {h, part(PartProvides, list({{"x", 0, 0, 0}}, 2, "ab"))}, "refused"},
        {"countCut", {h, part(PartConflicts, "\x01")}, "refused"},
        {"textCutShort", {h, part(24, "only this", 100), part(16, "ppc")},
         "a|1|0|i386|only this" + part(16, "ppc") + "|||||@-1!"},
        {"giantClaim", {h, part(PartNote, "tiny", 0xFFFFFFF0)}, "a|1|0|i386|||tiny|||@-1!"},
    };
    for (const auto& row : rows) {
        std::istringstream in(packageFile(row.parts));
        PackageFile file(in, true);
        for (std::uint32_t type : {18, 1, 24, 16, 2, 23, 3, 19, 17, 21}) file.want(type);
        file.nextPart();
        PackageInfo info;
        const bool ok = readPackageHeader(info, file);
        std::string got = ok ? summary(info) + "@" + std::to_string(file.currentType()) : "refused";
        EXPECT_EQ(got + (ok && file.fail() ? "!" : ""), row.expected) << row.name;
        EXPECT_LT(info.note.capacity(), 1u << 16) << "a claimed size is no allocation";
    }
}

}  // namespace
}  // namespace velmora
