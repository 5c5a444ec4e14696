#include "package/package_stream.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "package_bytes.h"

namespace velmora {
namespace {

using namespace velmora::test;

// A source that cannot seek, like standard input.
class PipeSource : public std::streambuf {
public:
    explicit PipeSource(std::string bytes) : bytes_(std::move(bytes)) {
        setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
    }

private:
    std::string bytes_;
};

std::string readAll(PackageFile& file) {
    std::string data(file.partRemaining(), '\0');
    file.read(data.data(), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(file.gcount()));
    return data;
}

struct MagicRow {
    const char* name;
    std::string header;
    bool good;
    bool overlay;
};

void PrintTo(const MagicRow& row, std::ostream* out) { *out << row.name; }

class PackageMagicTest : public ::testing::TestWithParam<MagicRow> {};

TEST_P(PackageMagicTest, DecidesWhetherTheStreamIsAPackage) {
    const MagicRow& row = GetParam();
    std::istringstream in(row.header + part(PartHeader, headerData("a", 1)));
    PackageFile file(in, true);
    EXPECT_EQ(file.bad(), !row.good);
    EXPECT_EQ(file.isOverlay(), row.overlay);
    file.want(PartHeader);
    EXPECT_EQ(file.nextPart(), row.good ? PartHeader : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Magics, PackageMagicTest,
    ::testing::Values(MagicRow{"package", std::string("\x1E\xF1\xD0\xBA", 4) + le32(38), true, false},
                      MagicRow{"packageBigEndian", std::string("\xBA\xD0\xF1\x1E", 4) + le32(38), false, false},
                      MagicRow{"overlay", std::string("\xFB\x0F\x10\xA1", 4) + le32(38), true, true},
                      MagicRow{"overlayBigEndian", std::string("\xA1\x10\x0F\xFB", 4) + le32(38), false, false}),
    [](const auto& info) { return info.param.name; });

TEST(PackageFileTest, ShortFileHeaderLeavesLengthZero) {
    std::istringstream in(std::string("\x1E\xF1\xD0", 3));
    PackageFile file(in, true);
    EXPECT_TRUE(file.bad());
    EXPECT_EQ(file.magic(), 0xFFFFFFFFu);
    EXPECT_EQ(file.totalLength(), 0u);
}

TEST(PackageFileTest, HeaderOnlyFileHasNoParts) {
    std::istringstream in(packageFile({}));
    PackageFile file(in, true);
    file.want(PartHeader);
    EXPECT_TRUE(file.good());
    EXPECT_EQ(file.totalLength(), 8u);
    EXPECT_EQ(file.nextPart(), -1);
    EXPECT_EQ(file.currentType(), -1);
    EXPECT_TRUE(file.eof());
    EXPECT_TRUE(file.fail());
}

TEST(PackageFileTest, PartHeaderCutShortEndsTheParts) {
    std::string bytes = packageFile({part(PartHeader, "abc")}) + std::string("\x09\x00\x44", 3);
    std::istringstream in(bytes);
    PackageFile file(in, true);
    file.want(PartHeader);
    file.want(PartSignature);
    EXPECT_EQ(file.nextPart(), PartHeader);
    EXPECT_EQ(file.nextPart(), -1);
    EXPECT_TRUE(file.fail());
}

TEST(PackageFileTest, UnwantedPartsAreSkippedButHashed) {
    const std::string text = part(PartText24, "leading text");
    const std::string header = part(PartHeader, headerData("pkg", 1));
    const std::string signature = part(PartSignature, std::string(68, 's'));
    std::istringstream in(packageFile({text, header, signature}));
    PackageFile file(in, true);
    file.want(PartHeader);

    EXPECT_EQ(file.nextPart(), PartHeader);
    // The digest taken before the header part closes the leading bytes.
    EXPECT_EQ(digestText(file.packageBuffer().lastDigest()), sha1Of(text));
    EXPECT_EQ(file.partStart(), 8u + text.size() + 6u);
    EXPECT_EQ(file.nextPart(), -1);
    EXPECT_EQ(digestText(file.packageBuffer().lastDigest()), sha1Of(header + signature));
}

TEST(PackageFileTest, ShortReadSetsFailureThatStopsLaterParts) {
    std::istringstream in(packageFile({part(PartHeader, "abcd"), part(PartNote, "note")}));
    PackageFile file(in, true);
    file.want(PartHeader);
    file.want(PartNote);
    ASSERT_EQ(file.nextPart(), PartHeader);
    char buffer[10];
    file.read(buffer, sizeof buffer);
    EXPECT_EQ(file.gcount(), 4);
    EXPECT_TRUE(file.eof());
    EXPECT_TRUE(file.fail());
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(file.nextPart(), -1);
}

// A size claim past 2 GiB does not fit std::streamsize on a 32-bit target;
// the bytes that are there must still be readable.
TEST(PackageFileTest, GiantSizeClaimStillGivesTheBytesThere) {
    std::istringstream in(packageFile({partClaiming(PartHeader, 0xFFFFFFF0, "abcd")}));
    PackageFile file(in, false);
    file.want(PartHeader);
    ASSERT_EQ(file.nextPart(), PartHeader);
    EXPECT_EQ(file.rdbuf()->in_avail(), 4);
    char buffer[10];
    file.read(buffer, sizeof buffer);
    ASSERT_EQ(file.gcount(), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(file.partRemaining(), 0xFFFFFFF0u - 4u);
}

TEST(PackageFileTest, SingleByteReadsStopAtThePartEnd) {
    std::istringstream in(packageFile({part(PartHeader, "xy"), part(PartNote, "z")}));
    PackageFile file(in, true);
    file.want(PartHeader);
    file.want(PartNote);
    ASSERT_EQ(file.nextPart(), PartHeader);
    EXPECT_EQ(file.get(), 'x');
    EXPECT_EQ(file.peek(), 'y');
    EXPECT_EQ(file.get(), 'y');
    EXPECT_EQ(file.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(file.eof());
    // End of file alone (a get at the end) does not end the parts.
    file.clear(std::ios::eofbit);
    EXPECT_EQ(file.nextPart(), PartNote);
    EXPECT_EQ(file.get(), 'z');
}

TEST(PackageFileTest, PutBackIsNotHashedOrCopiedTwice) {
    const std::string data = "0123456789abcdef";
    const std::string header = part(PartHeader, data);
    const std::string bytes = packageFile({header});
    std::istringstream in(bytes);
    std::stringbuf copy;
    PackageFile file(in, true, &copy);
    file.want(PartHeader);
    ASSERT_EQ(file.nextPart(), PartHeader);

    EXPECT_EQ(file.get(), '0');
    EXPECT_TRUE(file.unget());
    char chunk[5];
    ASSERT_TRUE(file.read(chunk, 5));
    EXPECT_EQ(std::string(chunk, 5), "01234");
    EXPECT_TRUE(file.putback('4'));
    EXPECT_EQ(file.tellg(), 4);
    EXPECT_EQ(file.get(), '4');
    EXPECT_EQ(file.get(), '5');
    EXPECT_TRUE(file.unget());
    EXPECT_EQ(readAll(file), "56789abcdef");

    EXPECT_EQ(file.nextPart(), -1);
    EXPECT_EQ(digestText(file.packageBuffer().lastDigest()), sha1Of(header));
    EXPECT_EQ(copy.str(), bytes);
}

TEST(PackageFileTest, PutBackAtPartStartFails) {
    std::istringstream in(packageFile({part(PartText24, "ab"), part(PartHeader, "cd")}));
    PackageFile file(in, true);
    file.want(PartHeader);
    ASSERT_EQ(file.nextPart(), PartHeader);
    EXPECT_FALSE(file.unget());
    EXPECT_TRUE(file.bad());
}

TEST(PackageFileTest, HashedSeekGoesForwardOnly) {
    const std::string header = part(PartHeader, "0123456789");
    std::istringstream in(packageFile({header}));
    std::stringbuf copy;
    PackageFile file(in, true, &copy);
    file.want(PartHeader);
    ASSERT_EQ(file.nextPart(), PartHeader);

    ASSERT_TRUE(file.seekg(3, std::ios::cur));
    EXPECT_EQ(file.tellg(), 3);
    EXPECT_EQ(file.get(), '3');
    EXPECT_FALSE(file.seekg(1));
    file.clear();
    EXPECT_EQ(file.tellg(), 4);
    ASSERT_TRUE(file.seekg(2, std::ios::end));  // counts back from the end
    EXPECT_EQ(file.get(), '8');
    EXPECT_FALSE(file.seekg(11));
    file.clear();
    EXPECT_EQ(file.nextPart(), -1);
    // Bytes passed over by the seeks were fed too.
    EXPECT_EQ(digestText(file.packageBuffer().lastDigest()), sha1Of(header));
}

TEST(PackageFileTest, HashedSeekPastTheSourceEndFails) {
    std::string bytes = packageFile({part(PartHeader, "0123456789")});
    bytes.resize(bytes.size() - 4);
    std::istringstream in(bytes);
    PackageFile file(in, true);
    file.want(PartHeader);
    ASSERT_EQ(file.nextPart(), PartHeader);
    EXPECT_FALSE(file.seekg(8));
}

TEST(PackageFileTest, UnhashedSeekMovesTheSourceBothWays) {
    const std::string bytes = packageFile({part(PartText24, "skipped"), part(PartHeader, "0123456789")});
    std::istringstream in(bytes);
    PackageFile file(in, false);
    file.want(PartHeader);
    ASSERT_EQ(file.nextPart(), PartHeader);
    ASSERT_TRUE(file.seekg(7));
    EXPECT_EQ(file.get(), '7');
    ASSERT_TRUE(file.seekg(2));
    EXPECT_EQ(file.get(), '2');
    EXPECT_EQ(file.partStart() + file.tellg(), 8 + 13 + 6 + 3);
}

// Wanted-part walks must give the same parts whether skipping seeks the
// source, reads it, or reads it because it cannot seek.
TEST(PackageFileTest, SkippingWorksWithAndWithoutSeeking) {
    const std::string bytes = packageFile({part(50, std::string(40000, 'x')), part(PartHeader, "head"),
                                           part(PartFileArchive, std::string(20000, 'y')), part(PartNote, "tail")});
    for (bool hashing : {false, true}) {
        for (bool seekable : {false, true}) {
            std::istringstream seekableSource(bytes);
            PipeSource pipe(bytes);
            std::istream pipeSource(&pipe);
            PackageFile file(seekable ? static_cast<std::istream&>(seekableSource) : pipeSource, hashing);
            file.want(PartHeader);
            file.want(PartNote);
            SCOPED_TRACE(testing::Message() << "hashing " << hashing << " seekable " << seekable);
            EXPECT_EQ(file.nextPart(), PartHeader);
            EXPECT_EQ(file.get(), 'h');
            EXPECT_EQ(file.nextPart(), PartNote);
            EXPECT_EQ(readAll(file), "tail");
            EXPECT_EQ(file.nextPart(), -1);
        }
    }
}

TEST(PackageFileTest, SkippingPastTheSourceEndEndsTheParts) {
    std::string bytes = packageFile({part(PartHeader, std::string(30000, 'x')), part(PartNote, "n")});
    bytes.resize(8 + 6 + 20000);
    for (bool hashing : {false, true}) {
        PipeSource pipe(bytes);
        std::istream source(&pipe);
        PackageFile file(source, hashing);
        file.want(PartHeader);
        file.want(PartNote);
        EXPECT_EQ(file.nextPart(), PartHeader);
        EXPECT_EQ(file.nextPart(), -1);
        EXPECT_TRUE(file.fail());
    }
}

TEST(PackageFileTest, CopyOutputIsAnExactCopyOfTheBytesRead) {
    const std::string bytes =
        packageFile({part(PartBundleHeader, headerData("bundle", 1)), part(77, std::string(20000, 'q')),
                     part(PartHeader, headerData("member", 2)), part(PartFileArchive, std::string(5000, 'z')),
                     part(PartSignature, std::string(100, 's'))});
    std::istringstream in(bytes);
    std::stringbuf copy;
    PackageFile file(in, true, &copy);
    file.want(PartHeader);
    file.want(PartSignature);
    ASSERT_EQ(file.nextPart(), PartHeader);
    char some[7];
    file.read(some, sizeof some);
    ASSERT_EQ(file.nextPart(), PartSignature);
    std::uint8_t signature[68];
    file.packageBuffer().readSignature(signature);
    EXPECT_EQ(copy.str(), bytes.substr(0, bytes.size() - 32));
    EXPECT_EQ(file.nextPart(), -1);
    EXPECT_EQ(copy.str(), bytes);
}

// A signature part whose digest field holds the given digest.
std::string signaturePart(const std::string& digest, std::size_t size = 68) {
    std::string data = digest + std::string(48, 'r');
    data.resize(size, 'p');
    return part(PartSignature, data);
}

std::string signatureHeader(std::size_t size = 68) { return le16(PartSignature) + le32(static_cast<std::uint32_t>(size)); }

struct Member {
    std::string signedBytes;  // from its header part to its signature part header
    std::string bytes;
};

Member member(const std::string& name, const std::string& archive) {
    Member m;
    m.signedBytes = part(PartHeader, headerData(name, 1)) + part(PartFileArchive, archive) + signatureHeader();
    m.bytes = part(PartHeader, headerData(name, 1)) + part(PartFileArchive, archive) +
              signaturePart(sha1Of(m.signedBytes));
    return m;
}

// Reads the signature part of each member and returns which ones matched.
std::vector<bool> checkMembers(const std::string& bytes) {
    std::istringstream in(bytes);
    PackageFile file(in, true);
    file.want(PartSignature);
    std::vector<bool> results;
    while (file.nextPart() == PartSignature) {
        std::uint8_t signature[68];
        results.push_back(file.packageBuffer().readSignature(signature));
    }
    return results;
}

TEST(PackageSignatureTest, BundleMembersAreHashedIndependently) {
    const Member first = member("first", std::string(3000, 'a'));
    const Member second = member("second", std::string(70000, 'b'));
    const std::string leading = part(PartBundleHeader, headerData("bundle", 1)) +
                                part(PartDisabledMembers, dependencyData({{"second"}}));
    std::string bytes;
    bytes = packageFile({leading, first.bytes, second.bytes});
    EXPECT_EQ(checkMembers(bytes), (std::vector<bool>{true, true}));

    // A flipped byte in one member's archive spoils only that member.
    std::string damaged = bytes;
    damaged[8 + leading.size() + 6 + 32 + 6 + 100] ^= 0x01;
    EXPECT_EQ(checkMembers(damaged), (std::vector<bool>{false, true}));

    // The bundle's leading parts are outside every signed range.
    std::string otherLeading = bytes;
    otherLeading[8 + 6 + 3] ^= 0x01;
    EXPECT_EQ(checkMembers(otherLeading), (std::vector<bool>{true, true}));
}

TEST(PackageSignatureTest, SignatureDataIsCopiedButNotHashed) {
    const std::string signedBytes = part(PartHeader, "h") + signatureHeader(100);
    const std::string trailer = part(66, "after");
    const std::string bytes = packageFile({part(PartHeader, "h"), signaturePart(sha1Of(signedBytes), 100), trailer});
    std::istringstream in(bytes);
    std::stringbuf copy;
    PackageFile file(in, true, &copy);
    file.want(PartSignature);
    ASSERT_EQ(file.nextPart(), PartSignature);
    std::uint8_t signature[68];
    EXPECT_TRUE(file.packageBuffer().readSignature(signature));
    EXPECT_EQ(file.partRemaining(), 32u);
    EXPECT_EQ(file.nextPart(), -1);
    // The rest of the signature part is skipped like any unread data.
    EXPECT_EQ(digestText(file.packageBuffer().lastDigest()), sha1Of(std::string(32, 'p') + trailer));
    EXPECT_EQ(copy.str(), bytes);
}

TEST(PackageSignatureTest, RefusesWhatCannotBeChecked) {
    const std::string signedBytes = part(PartHeader, "h") + signatureHeader();
    const std::string good = packageFile({part(PartHeader, "h"), signaturePart(sha1Of(signedBytes))});
    {
        std::istringstream in(good);
        PackageFile file(in, false);
        file.want(PartSignature);
        ASSERT_EQ(file.nextPart(), PartSignature);
        EXPECT_FALSE(file.verifySignature()) << "unhashed stream";
    }
    {
        const std::string shortSignature =
            packageFile({part(PartHeader, "h"), part(PartSignature, sha1Of(signedBytes) + std::string(47, 'r'))});
        std::istringstream in(shortSignature);
        PackageFile file(in, true);
        file.want(PartSignature);
        ASSERT_EQ(file.nextPart(), PartSignature);
        EXPECT_FALSE(file.verifySignature()) << "67-byte signature";
    }
    {
        std::string cut = good.substr(0, good.size() - 1);
        std::istringstream in(cut);
        PackageFile file(in, true);
        file.want(PartSignature);
        ASSERT_EQ(file.nextPart(), PartSignature);
        EXPECT_FALSE(file.verifySignature()) << "source ends inside the signature";
    }
    {
        std::string altered = good;
        altered[8 + 6] ^= 0x20;
        std::istringstream in(altered);
        PackageFile file(in, true);
        file.want(PartSignature);
        ASSERT_EQ(file.nextPart(), PartSignature);
        EXPECT_FALSE(file.verifySignature()) << "digest mismatch";
        EXPECT_EQ(file.partRemaining(), 0u);
    }
}

}  // namespace
}  // namespace velmora
