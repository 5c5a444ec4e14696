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

TEST(PackageFile, FileHeaderDecidesWhetherItIsAPackage) {
    const std::string parts = le32(6) + part(PartHeader, "");
    const struct {
        const char* name;
        std::string bytes;
        bool good, overlay;
        std::uint32_t magic, totalLength;
    } rows[] = {
        {"package", "\x1E\xF1\xD0\xBA" + parts, true, false, PackageMagic, 14},
        {"packageBigEndian", "\xBA\xD0\xF1\x1E" + parts, false, false, 0x1EF1D0BA, 14},
        {"overlay", "\xFB\x0F\x10\xA1" + parts, true, true, OverlayMagic, 14},
        {"overlayBigEndian", "\xA1\x10\x0F\xFB" + parts, false, false, 0xFB0F10A1, 14},
        {"cut", std::string("\x1E\xF1\xD0\xBA\x06\x00\x00", 7), false, false, 0xFFFFFFFF, 0},
    };
    for (const auto& row : rows) {
        Opened o(row.bytes, true, {PartHeader});
        EXPECT_EQ(o.file.bad(), !row.good) << row.name;
        EXPECT_EQ(o.file.isOverlay(), row.overlay) << row.name;
        EXPECT_EQ(o.file.magic(), row.magic) << row.name;
        EXPECT_EQ(o.file.totalLength(), row.totalLength) << row.name;
        EXPECT_EQ(o.file.nextPart(), row.good ? PartHeader : -1) << row.name;
        EXPECT_EQ(o.file.nextPart(), -1) << row.name;
        EXPECT_TRUE(o.file.fail()) << row.name;
    }
}

// Skipping seeks the source, reads and hashes it, or reads it because it
// cannot seek: the same parts either way, and a source ending inside a
// skipped part ends the parts.
TEST(PackageFile, SkippingWithAndWithoutSeeking) {
    const std::string lead = part(50, std::string(40000, 'x')), header = part(PartHeader, "head"),
                      tail = part(PartFileArchive, std::string(20000, 'y')) + part(PartNote, "tail");
    const std::string bytes = packageFile({lead, header, tail}), cut = bytes.substr(0, bytes.size() - 10000);
    for (int mode = 0; mode < 8; ++mode) {
        const bool hashing = mode & 1, seekable = mode & 2, whole = mode & 4;
        SCOPED_TRACE(testing::Message() << "hashing " << hashing << " seekable " << seekable << " whole " << whole);
        std::istringstream stream(whole ? bytes : cut);
        Pipe pipe(whole ? bytes : cut);
        std::istream pipeStream(&pipe);
        PackageFile file(seekable ? static_cast<std::istream&>(stream) : pipeStream, hashing);
        file.want(PartHeader), file.want(PartNote);
        EXPECT_EQ(file.nextPart(), PartHeader);
        EXPECT_EQ(file.partStart(), 8 + lead.size() + 6);
        if (hashing) {
            EXPECT_EQ(lastDigest(file), sha1Of(lead)) << "the digest before a header part";
        }
        EXPECT_EQ(file.get(), 'h');
        EXPECT_EQ(file.nextPart(), whole ? PartNote : -1);
        EXPECT_EQ(rest(file), whole ? "tail" : "");
        EXPECT_EQ(file.nextPart(), -1);
        EXPECT_TRUE(file.fail());
        if (hashing && whole) {
            EXPECT_EQ(lastDigest(file), sha1Of(header + tail));
        }
    }
}

// Bytes read back (unget, putback, seeks) are fed to the hash and the copy once.
TEST(PackageFile, ReadingBackAndSeekingFeedEachByteOnce) {
    const std::string header = part(PartHeader, "0123456789abcdef"), bytes = packageFile({header});
    std::stringbuf copy;
    Opened o(bytes, true, {PartHeader}, &copy);
    PackageFile& f = o.file;
    ASSERT_EQ(f.nextPart(), PartHeader);
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
    EXPECT_FALSE(f.seekg(1)) << "a hashed stream does not go back";
    f.clear();
    EXPECT_EQ(f.tellg(), 8);
    EXPECT_TRUE(f.seekg(2, std::ios::end));
    EXPECT_EQ(f.get(), 'e');
    EXPECT_FALSE(f.seekg(17));
    f.clear();
    EXPECT_EQ(rest(f), "f");
    EXPECT_EQ(f.get(), EOF);
    f.clear(std::ios::eofbit);  // the end of a part alone does not end the parts
    EXPECT_EQ(f.nextPart(), -1);
    EXPECT_EQ(lastDigest(f), sha1Of(header));
    EXPECT_EQ(copy.str(), bytes);

    Opened unhashed(packageFile({part(24, "skipped"), header}), false, {PartHeader});
    ASSERT_EQ(unhashed.file.nextPart(), PartHeader);
    EXPECT_FALSE(unhashed.file.unget()) << "nothing before the part";
    unhashed.file.clear();
    EXPECT_TRUE(unhashed.file.seekg(7));
    EXPECT_TRUE(unhashed.file.seekg(2));
    EXPECT_EQ(unhashed.file.get(), '2');
}

// A size claim past 2 GiB does not fit a 32-bit streamsize; the bytes that
// are there are still read.
TEST(PackageFile, GiantSizeClaimGivesTheBytesThere) {
    Opened o(packageFile({part(PartHeader, "abcd", 0xFFFFFFF0)}), false, {PartHeader});
    ASSERT_EQ(o.file.nextPart(), PartHeader);
    EXPECT_EQ(o.file.rdbuf()->in_avail(), 4);
    EXPECT_EQ(rest(o.file), "abcd");
    EXPECT_TRUE(o.file.eof());
    EXPECT_EQ(o.file.partRemaining(), 0xFFFFFFF0u - 4u);
}

// From a header part to a signature whose digest field is the SHA-1 of the
// signed range, padded to `size`.
std::string member(const std::string& name, const std::string& archive, std::uint32_t size = 68) {
    const std::string parts = part(PartHeader, headerData(name)) + part(PartFileArchive, archive);
    std::string signature = sha1Of(parts + le16(PartSignature) + le32(size)) + std::string(48, 'r');
    signature.resize(size, 'p');
    return parts + part(PartSignature, signature);
}

TEST(PackageFile, SignatureCheckOfTheStream) {
    const std::string lead = part(PartBundleHeader, headerData("bundle")) + part(20, std::string(34, 'd'));
    const std::string bundle = packageFile({lead, member("first", std::string(3000, 'a'), 100), member("b", "bb")});
    const std::string h = part(PartHeader, headerData("h"));
    const std::string s67 = sha1Of(h + le16(9) + le32(67)) + std::string(47, 'r');
    const std::string short67 = packageFile({h, part(9, s67), part(23, "n")});
    auto flipped = [](std::string s, std::size_t at) { return s[at] ^= 1, s; };
    const struct {
        const char* name;
        std::string bytes;
        bool hashing;
        std::vector<SignatureCheck> checks;
        std::uint32_t remaining;  // of the last signature part
    } rows[] = {
        {"bundle", bundle, true, {SignatureCheck::Good, SignatureCheck::Good}, 0},
        {"bundleLeadingPartsUnsigned", flipped(bundle, 17), true, {SignatureCheck::Good, SignatureCheck::Good}, 0},
        {"memberArchiveByte", flipped(bundle, 8 + lead.size() + 44 + 100), true,
         {SignatureCheck::DigestMismatch, SignatureCheck::Good}, 0},
        {"unhashed", bundle, false, {SignatureCheck::NotHashing, SignatureCheck::NotHashing}, 68},
        {"67Bytes", short67, true, {SignatureCheck::TooShort}, 67},
        {"cut", packageFile({member("h", "")}).substr(0, 125), true, {SignatureCheck::Cut}, 1},
    };
    for (const auto& row : rows) {
        std::stringbuf copy;
        Opened o(row.bytes, row.hashing, {PartSignature}, &copy);
        std::vector<SignatureCheck> checks;
        std::uint32_t remaining = 0;
        std::uint8_t fields[68];
        while (o.file.nextPart() == PartSignature) {
            checks.push_back(o.file.packageBuffer().checkSignature(nullptr, fields));
            if (checks.size() == 1 && row.name == std::string("bundle")) {  // at the padded signature
                EXPECT_EQ(o.file.partRemaining(), 32u);  // the padding is skipped like unread data
                EXPECT_EQ(copy.str(), row.bytes.substr(0, 8 + lead.size() + 3050 + 68));
            }
            remaining = o.file.partRemaining();
        }
        EXPECT_EQ(checks, row.checks) << row.name;
        EXPECT_EQ(remaining, row.remaining) << row.name;
        EXPECT_EQ(copy.str(), row.bytes) << row.name;
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
    const struct {
        const char* name;
        std::string image;
        std::vector<bool> verifies;
    } rows[] = {
        {"developmentKey", good, {true}},
        {"strangerKey", stranger, {false}},
        {"unsigned", buildPackage(recipe), {false}},
        {"bundle", bundle({good, other}), {true, true}},
        {"bundleWithStranger", bundle({stranger, other}), {false, true}},
        {"headerBit", flipped(PartHeader, 2, 0x01), {false}},
        {"archiveBit", flipped(PartFileArchive, 7, 0x80), {false}},
        {"signaturePartHeaderBit", flipped(PartSignature, -4, 0x01), {false}},
        {"digestBit", flipped(PartSignature, 19, 0x01), {false}},
        {"commitmentBit", flipped(PartSignature, 25, 0x04), {false}},
        {"valueLowBit", flipped(PartSignature, 36, 0x01), {false}},
        {"valueBit", flipped(PartSignature, 67, 0x20), {false}},
        {"digestRedone", redone, {false}},
        {"fileLengthUnsigned", flipped(PartHeader, -8, 0x01), {true}},
    };
    for (const auto& row : rows) EXPECT_EQ(signatureChecks(row.image, true), row.verifies) << row.name;
}

}  // namespace
}  // namespace velmora
