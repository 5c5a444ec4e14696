#include "package/package_stream.h"

#include <gtest/gtest.h>

#include "package_builder.h"
#include "package_bytes.h"

namespace velmora {
namespace {

using namespace velmora::test;

// A source that cannot seek, like standard input.
struct Pipe : std::streambuf {
    explicit Pipe(std::string b) : bytes(std::move(b)) { setg(&bytes[0], &bytes[0], &bytes[0] + bytes.size()); }
    std::string bytes;
};

std::string rest(PackageFile& file) {
    char data[256];
    return std::string(data, std::size_t(file.read(data, std::min<std::uint32_t>(file.partRemaining(), 256)).gcount()));
}
std::string lastDigest(PackageFile& file) {
    return std::string(reinterpret_cast<const char*>(file.packageBuffer().lastDigest()), 20);
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
        EXPECT_EQ(file.nextPart(), -1);
        EXPECT_TRUE(file.fail());
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

}  // namespace
}  // namespace velmora
