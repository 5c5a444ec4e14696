// The readers of untrusted package bytes: the file header, skipping and
// reading back parts, and the header and metadata parts.

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "package/package_reader.h"
#include "package_builder.h"

namespace velmora {
namespace {

using namespace std::string_literals;

std::string le16(std::uint16_t v) { return {char(v & 0xFF), char(v >> 8)}; }
std::string le32(std::uint32_t v) { return le16(std::uint16_t(v)) + le16(std::uint16_t(v >> 16)); }
// A part whose size field may claim something other than the data's length.
std::string part(std::uint16_t type, std::string_view data, std::int64_t claim = -1) {
    return le16(type) + le32(std::uint32_t(claim < 0 ? data.size() : claim)) + std::string(data);
}
std::string packageFile(const std::vector<std::string>& parts) {
    std::string body;
    for (const auto& p : parts) body += p;
    return le32(PackageMagic) + le32(std::uint32_t(body.size())) + body;
}
std::string sha1Of(std::string_view b) {
    unsigned char out[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(b.data()), b.size(), out);
    return std::string(reinterpret_cast<char*>(out), sizeof out);
}

// A source that cannot seek, like standard input.
struct Pipe : std::streambuf {
    explicit Pipe(std::string b) : bytes(std::move(b)) { setg(&bytes[0], &bytes[0], &bytes[0] + bytes.size()); }
    std::string bytes;
};

std::string rest(PackageFile& f) {
    char data[256];
    return std::string(data, std::size_t(f.read(data, std::min<std::uint32_t>(f.partRemaining(), 256)).gcount()));
}
std::string lastDigest(PackageFile& f) {
    return std::string(reinterpret_cast<const char*>(f.packageBuffer().lastDigest()), 20);
}

// "ok"/"bad", overlay, magic, total length, first part.
TEST(PackageFile, FileHeaderDecidesWhetherItIsAPackage) {
    const std::string parts = le32(6) + part(PartHeader, "");
    const std::pair<std::string, std::string> rows[] = {
        {"\x1E\xF1\xD0\xBA" + parts, "ok bad0f11e 14 1"},         {"\xBA\xD0\xF1\x1E" + parts, "bad 1ef1d0ba 14 -1"},
        {"\xFB\x0F\x10\xA1" + parts, "ok overlay a1100ffb 14 1"}, {"\xA1\x10\x0F\xFB" + parts, "bad fb0f10a1 14 -1"},
        {std::string("\x1E\xF1\xD0\xBA\x06\x00\x00", 7), "bad ffffffff 0 -1"}};
    for (const auto& [bytes, expected] : rows) {
        std::istringstream in(bytes);
        PackageFile file(in, true);
        file.want(PartHeader);
        std::ostringstream got;
        got << (file.bad() ? "bad" : "ok") << (file.isOverlay() ? " overlay " : " ") << std::hex << file.magic()
            << std::dec << " " << file.totalLength() << " " << file.nextPart();
        EXPECT_EQ(got.str(), expected);
        EXPECT_EQ(file.nextPart(), -1); EXPECT_TRUE(file.fail());
    }
}

// Skipping seeks the source, reads and hashes it, or reads it because it
// cannot seek: the same parts either way, and a source ending inside a
// skipped part ends the parts. Bytes read back are hashed and copied once.
TEST(PackageFile, SkippingAndReadingBack) {
    const std::string lead = part(50, std::string(40000, 'x')), header = part(PartHeader, "0123456789abcdef"),
                      tail = part(PartFileArchive, std::string(20000, 'y')) + part(PartNote, "tail");
    const std::string bytes = packageFile({lead, header, tail}), cut = bytes.substr(0, bytes.size() - 10000);
    for (int mode = 0; mode < 8; ++mode) {
        const bool hashing = mode & 1, seekable = mode & 2, whole = mode & 4;
        SCOPED_TRACE(testing::Message() << "hashing " << hashing << " seekable " << seekable << " whole " << whole);
        std::istringstream stream(whole ? bytes : cut);
        Pipe pipe(whole ? bytes : cut);
        std::istream pipeStream(&pipe);
        std::stringbuf copy;  // only where the source cannot seek: a hashing file then reads what it skips
        PackageFile f(seekable ? static_cast<std::istream&>(stream) : pipeStream, hashing, seekable ? nullptr : &copy);
        f.want(PartHeader), f.want(PartNote);
        EXPECT_EQ(f.nextPart(), PartHeader);
        EXPECT_EQ(f.partStart(), 8 + lead.size() + 6);
        if (hashing) { EXPECT_EQ(lastDigest(f), sha1Of(lead)) << "the digest before a header part"; }
        EXPECT_EQ(f.get(), '0'); EXPECT_TRUE(f.unget());
        char chunk[5];
        EXPECT_EQ(std::string(chunk, f.read(chunk, 5).gcount()), "01234"); EXPECT_TRUE(f.putback('4'));
        EXPECT_EQ(f.tellg(), 4); EXPECT_EQ(f.get(), '4'); EXPECT_EQ(f.peek(), '5');
        EXPECT_TRUE(f.seekg(2, std::ios::cur)); EXPECT_EQ(f.get(), '7');
        if (hashing) { EXPECT_FALSE(f.seekg(1)) << "a hashed stream does not go back"; }
        f.clear(); EXPECT_TRUE(f.seekg(2, std::ios::end)); EXPECT_EQ(f.get(), 'e'); EXPECT_FALSE(f.seekg(17));
        f.clear(); EXPECT_EQ(rest(f), "f"); EXPECT_EQ(f.get(), EOF);
        f.clear(std::ios::eofbit);  // the end of a part alone does not end the parts
        EXPECT_EQ(f.nextPart(), whole ? PartNote : -1); EXPECT_EQ(rest(f), whole ? "tail" : "");
        EXPECT_EQ(f.nextPart(), -1); EXPECT_TRUE(f.fail());
        if (hashing && whole) { EXPECT_EQ(lastDigest(f), sha1Of(header + tail)); }
        EXPECT_EQ(copy.str(), seekable ? "" : whole ? bytes : cut);
    }
}

// Header part data: name (16 bytes), version, build time, 8 ignored bytes, extra.
std::string headerData(std::string name, std::uint32_t version = 1, std::string_view extra = {}) {
    name.resize(16, '\0');
    return name + le32(version) + le32(1000) + std::string(8, 'Z') + std::string(extra);
}

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
        {"emptyName", {header("")}, "refused"}, {"dot", {header(".")}, "refused"},
        {"dotDot", {header("..")}, "refused"}, {"slash", {header("../etc")}, "refused"},
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
