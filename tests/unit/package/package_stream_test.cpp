#include "package/package_stream.h"

#include <gtest/gtest.h>

#include "package/key_material.h"
#include "package/sha1.h"
#include "package_builder.h"
#include "package_bytes.h"
#include "support/dev_key.h"

namespace velmora {
namespace {

using namespace velmora::test;

// A source that cannot seek, like standard input.
struct Pipe : std::streambuf {
    explicit Pipe(std::string b) : bytes(std::move(b)) { setg(&bytes[0], &bytes[0], &bytes[0] + bytes.size()); }
    std::string bytes;
};

struct Opened {
    Opened(std::string bytes, bool hashing, std::initializer_list<std::uint32_t> wanted, std::streambuf* copy = nullptr)
        : source(std::move(bytes)), file(source, hashing, copy) {
        for (std::uint32_t type : wanted) file.want(type);
    }
    std::istringstream source;
    PackageFile file;
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
        Opened o(bytes, true, {PartHeader});
        std::ostringstream got;
        got << (o.file.bad() ? "bad" : "ok") << (o.file.isOverlay() ? " overlay " : " ") << std::hex << o.file.magic()
            << std::dec << " " << o.file.totalLength() << " " << o.file.nextPart();
        EXPECT_EQ(got.str(), expected);
        EXPECT_EQ(o.file.nextPart(), -1);
        EXPECT_TRUE(o.file.fail());
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
        std::stringbuf copy;
        PackageFile f(seekable ? static_cast<std::istream&>(stream) : pipeStream, hashing, hashing ? &copy : nullptr);
        f.want(PartHeader), f.want(PartNote);
        EXPECT_EQ(f.nextPart(), PartHeader);
        EXPECT_EQ(f.partStart(), 8 + lead.size() + 6);
        if (hashing) { EXPECT_EQ(lastDigest(f), sha1Of(lead)) << "the digest before a header part"; }
        EXPECT_EQ(f.get(), '0');
        EXPECT_TRUE(f.unget());
        char chunk[5];
        EXPECT_EQ(std::string(chunk, f.read(chunk, 5).gcount()), "01234");
        EXPECT_TRUE(f.putback('4'));
        EXPECT_EQ(f.tellg(), 4);
        EXPECT_EQ(f.get(), '4');
        EXPECT_EQ(f.peek(), '5');
        EXPECT_TRUE(f.seekg(2, std::ios::cur));
        EXPECT_EQ(f.get(), '7');
        if (hashing) { EXPECT_FALSE(f.seekg(1)) << "a hashed stream does not go back"; }
        f.clear();
        EXPECT_TRUE(f.seekg(2, std::ios::end));
        EXPECT_EQ(f.get(), 'e');
        EXPECT_FALSE(f.seekg(17));
        f.clear();
        EXPECT_EQ(rest(f), "f");
        EXPECT_EQ(f.get(), EOF);
        f.clear(std::ios::eofbit);  // the end of a part alone does not end the parts
        EXPECT_EQ(f.nextPart(), whole ? PartNote : -1);
        EXPECT_EQ(rest(f), whole ? "tail" : "");
        EXPECT_EQ(f.nextPart(), -1);
        EXPECT_TRUE(f.fail());
        if (hashing && whole) { EXPECT_EQ(lastDigest(f) + copy.str(), sha1Of(header + tail) + bytes); }
    }
}

// From a header part to a signature whose digest field is the SHA-1 of the
// signed range, padded to `size`.
std::string member(const std::string& name, const std::string& archive, std::uint32_t size = 68) {
    const std::string parts = part(PartHeader, headerData(name)) + part(PartFileArchive, archive);
    std::string signature = sha1Of(parts + le16(PartSignature) + le32(size)) + std::string(48, 'r');
    signature.resize(size, 'p');
    return parts + part(PartSignature, signature);
}

// Unsigned leading bundle parts, a padded signature, and signatures the
// stream cannot check.
TEST(PackageFile, SignatureCheckOfTheStream) {
    const std::string lead = part(PartBundleHeader, headerData("bundle")) + part(20, std::string(34, 'd'));
    const std::string bundle = packageFile({lead, member("first", std::string(3000, 'a'), 100), member("b", "bb")});
    const std::string h = part(PartHeader, headerData("h"));
    const std::string s67 = sha1Of(h + le16(9) + le32(67)) + std::string(47, 'r');
    using C = SignatureCheck;
    const struct {
        std::string bytes;
        bool hashing;
        std::vector<C> checks;
        std::uint32_t remaining;  // of the last signature part
    } rows[] = {
        {bundle.substr(0, 17) + char(bundle[17] ^ 1) + bundle.substr(18), true, {C::Good, C::Good}, 0},
        {bundle, false, {C::NotHashing, C::NotHashing}, 68},
        {packageFile({h, part(9, s67), part(23, "n")}), true, {C::TooShort}, 67},
        {packageFile({member("h", "")}).substr(0, 125), true, {C::Cut}, 1},
    };
    for (const auto& row : rows) {
        std::stringbuf copy;
        Opened o(row.bytes, row.hashing, {PartSignature}, &copy);
        std::vector<C> checks;
        std::uint8_t fields[68];
        std::uint32_t remaining = 0;
        while (o.file.nextPart() == PartSignature) {
            checks.push_back(o.file.packageBuffer().checkSignature(nullptr, fields));
            if (checks.size() == 1 && row.hashing && row.remaining == 0) {  // at the padded signature
                EXPECT_EQ(o.file.partRemaining(), 32u);  // the padding is skipped like unread data
                EXPECT_EQ(copy.str(), row.bytes.substr(0, 8 + lead.size() + 3050 + 68));
            }
            remaining = o.file.partRemaining();
        }
        EXPECT_EQ(checks, row.checks) << row.bytes.size();
        EXPECT_EQ(remaining, row.remaining) << row.bytes.size();
        EXPECT_EQ(copy.str(), row.bytes);
    }
}

// Real packages: only the development key's signatures hold, each bundle
// member on its own, and a bit flipped anywhere in the signed range fails.
TEST(PackageFile, InstallerSignature) {
    PackageRecipe recipe;
    recipe.name = "stavel", recipe.version = 0x06016600, recipe.buildTime = 1300000000;
    recipe.deps = {{"base", 0x06000000, 0, 0}};
    recipe.files = {regularFile("/bin/tool", std::string(3000, 't')), regularFile("/etc/tool.conf", "level=3\n")};
    const std::string good = buildPackage(recipe, &developmentKey()), stranger = buildPackage(recipe, &strangerKey());
    recipe.name = "other";
    const std::string other = buildPackage(recipe, &developmentKey());
    auto bundle = [](std::vector<std::string> members) {
        BundleRecipe b;
        b.bundle.name = "suite", b.members = std::move(members);
        return buildBundle(b);
    };
    auto flipped = [&](std::uint16_t type, int offset, std::uint8_t mask) {
        std::string image = good;
        flipByte(image, findPart(image, type)->dataOffset() + offset, mask);
        return image;
    };
    std::string redone = flipped(PartFileArchive, 7, 0x80);  // and its digest made to match
    const std::size_t start = findPart(redone, PartHeader)->offset, at = findPart(redone, PartSignature)->dataOffset();
    Sha1 sha1;
    sha1.update(redone.data() + start, at - start);
    ASSERT_TRUE(sha1.digest(reinterpret_cast<std::uint8_t*>(redone.data() + at)));
    const std::pair<std::string, std::vector<bool>> rows[] = {
        {good, {true}}, {buildPackage(recipe), {false}}, {bundle({good, other}), {true, true}},
        {bundle({stranger, other}), {false, true}}, {flipped(PartFileArchive, 7, 0x80), {false}},
        {flipped(PartSignature, -4, 0x01), {false}}, {flipped(PartSignature, 19, 0x01), {false}},  // header, digest
        {flipped(PartSignature, 25, 0x04), {false}}, {flipped(PartSignature, 67, 0x20), {false}},  // r, v
        {redone, {false}}, {flipped(PartHeader, -8, 0x01), {true}},  // the file length is not signed
    };
    int row = 0;
    for (const auto& [image, verifies] : rows) EXPECT_EQ(signatureChecks(image, true), verifies) << row++;
}

}  // namespace
}  // namespace velmora
