#include "package/package_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "package_builder.h"
#include "package_bytes.h"

namespace velmora {
namespace {

using namespace velmora::test;
using namespace std::string_literals;

// name|version|flags|arch|text24|text2|note|deps|provides|conflicts, "+keep" for a keep-image part.
std::string summary(const PackageInfo& i) {
    std::ostringstream o;
    o << i.name << '|' << std::hex << i.version << '|' << i.flags << '|' << i.arch << '|' << i.partText24 << '|'
      << i.partText2 << '|' << i.note << '|' << listText(i.deps) << '|' << listText(i.provides) << '|'
      << listText(i.conflicts) << (i.keepsImage ? "+keep" : "");
    return o.str();
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
         "wireless 0 0 -5;|old 1 2 3;+keep@21"s},
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

// Offered package files: what is read, or why and where the reader gave up.
TEST(PackageReader, OfferedFiles) {
    const std::string dir = std::filesystem::temp_directory_path() / ("reader-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir + "/dir.vpa");
    const std::string one = packageFile({part(PartHeader, headerData("dhcp", 7, le32(2))), part(PartKeepImage, ""),
                                         part(PartFileArchive, "archive"), part(PartSignature, "s")});
    const std::string bundleHead = part(PartBundleHeader, headerData("velmora", 6)) + part(PartNote, "bundle note") +
                                   part(PartKeepImage, "") + part(20, list({{"wireless", 0, 0, 0}}));
    const std::string system = part(PartHeader, headerData("system", 6, le32(1))) +
                               part(PartDependencies, list({{"velmora", 6, 6, 0}})) + part(4, std::string(5000, 'a'));
    const std::string wireless = part(PartHeader, headerData("wireless", 8)) + part(PartArchitecture, "ppc") +
                                 part(PartKeepImage, "") + part(4, "b") + part(9, std::string(68, 's'));
    const std::size_t member2 = 8 + bundleHead.size() + system.size();
    const struct {
        const char* name;
        std::string bytes;  // empty: the path of a directory or a missing file
        ReadFault::Kind kind;
        std::int32_t type;
        std::uint32_t offset;
        std::string expected;
    } rows[] = {
        {"package", one, ReadFault::None, -1, 0, "dhcp|7|2|i386||||||+keep"},
        {"overlay", packageFile({part(1, headerData("ovl"))}, OverlayMagic), ReadFault::None, -1, 0, "overlay"},
        {"byteTooMany", one + "x", ReadFault::Length, -1, 0, ""},
        {"bigEndianMagic", "\xBA\xD0\xF1\x1E" + one.substr(4), ReadFault::NotAPackage, -1, 0, ""},
        {"directory", "dir", ReadFault::NotAPackage, -1, 0, ""},
        {"missing", "missing", ReadFault::NotAPackage, -1, 0, ""},
        {"bundle", packageFile({bundleHead, system, wireless}), ReadFault::None, -1, 0,
         "velmora|6|0|i386|||bundle note|||+keep system|6|1|i386||||velmora 6 6 0;|| wireless|8|0|ppc||||||+keep"},
        {"noMember", packageFile({bundleHead, part(4, "a")}), ReadFault::NoMember, -1, 0, ""},
        {"badMember", packageFile({bundleHead, system, part(1, headerData(".."))}), ReadFault::Header, 1,
         std::uint32_t(member2), ""},
        {"badList", packageFile({bundleHead, part(1, headerData("s")), part(19, le16(1))}), ReadFault::Header, 19,
         std::uint32_t(8 + bundleHead.size() + 38), ""},
    };
    for (const auto& row : rows) {
        const std::string path = dir + (row.bytes.size() > 8 ? "/p.vpa" : "/" + row.bytes + ".vpa");
        if (row.bytes.size() > 8) std::ofstream(path, std::ios::binary) << row.bytes;
        OfferedPackage offered;
        const ReadFault fault = readOfferedFile(offered, path);
        EXPECT_EQ(std::tuple(fault.kind, fault.partType, fault.offset), std::tuple(row.kind, row.type, row.offset))
            << row.name;
        OfferedPackage again;
        EXPECT_EQ(readPackageFile(again, path), row.kind == ReadFault::None) << row.name;
        if (row.kind != ReadFault::None) continue;
        std::string got = offered.overlay ? "overlay" : summary(offered);
        for (const auto& member : offered.members) got += " " + summary(*member);
        EXPECT_EQ(got, row.expected) << row.name;
        EXPECT_EQ(offered.path, path);
        EXPECT_EQ(offered.packageLength, row.bytes.size());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velmora
