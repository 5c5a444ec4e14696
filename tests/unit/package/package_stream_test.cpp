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

// A package file over the given bytes, wanting the given parts.
struct Opened {
    Opened(std::string bytes, bool hashing, std::initializer_list<std::uint32_t> wanted, std::streambuf* copy = nullptr)
        : source(std::move(bytes)), file(source, hashing, copy) {
        for (std::uint32_t type : wanted) file.want(type);
    }
    std::istringstream source;
    PackageFile file;
};

std::string readAll(PackageFile& file) {
    std::string data(file.partRemaining(), '\0');
    file.read(data.data(), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(file.gcount()));
    return data;
}

std::string lastDigest(PackageFile& file) { return digestText(file.packageBuffer().lastDigest()); }

struct FileHeaderRow {
    const char* name;
    std::string bytes;
    bool good;
    bool overlay;
    std::uint32_t magic;
    std::uint32_t totalLength;
    std::int32_t firstPart;
};

void PrintTo(const FileHeaderRow& row, std::ostream* out) { *out << row.name; }

class FileHeaderTest : public ::testing::TestWithParam<FileHeaderRow> {};

TEST_P(FileHeaderTest, DecidesWhetherTheStreamIsAPackage) {
    const FileHeaderRow& row = GetParam();
    Opened o(row.bytes, true, {PartHeader});
    EXPECT_EQ(o.file.bad(), !row.good);
    EXPECT_EQ(o.file.isOverlay(), row.overlay);
    EXPECT_EQ(o.file.magic(), row.magic);
    EXPECT_EQ(o.file.totalLength(), row.totalLength);
    EXPECT_EQ(o.file.nextPart(), row.firstPart);
    EXPECT_EQ(o.file.currentType(), row.firstPart);
    EXPECT_EQ(o.file.fail(), row.firstPart < 0);
    EXPECT_EQ(o.file.eof(), row.good && row.firstPart < 0);
}

const std::string headerPartBytes = part(PartHeader, headerData("a", 1));

INSTANTIATE_TEST_SUITE_P(
    Magics, FileHeaderTest,
    ::testing::Values(
        FileHeaderRow{"package", std::string("\x1E\xF1\xD0\xBA", 4) + le32(38) + headerPartBytes, true, false,
                      0xBAD0F11E, 46, PartHeader},
        FileHeaderRow{"packageBigEndian", std::string("\xBA\xD0\xF1\x1E", 4) + le32(38) + headerPartBytes, false,
                      false, 0x1EF1D0BA, 46, -1},
        FileHeaderRow{"overlay", std::string("\xFB\x0F\x10\xA1", 4) + le32(38) + headerPartBytes, true, true,
                      0xA1100FFB, 46, PartHeader},
        FileHeaderRow{"overlayBigEndian", std::string("\xA1\x10\x0F\xFB", 4) + le32(38) + headerPartBytes, false,
                      false, 0xFB0F10A1, 46, -1},
        FileHeaderRow{"headerOnly", packageFile({}), true, false, PackageMagic, 8, -1},
        // Shorter than a file header: no magic, and the length stays 0.
        FileHeaderRow{"cutFileHeader", std::string("\x1E\xF1\xD0", 3), false, false, 0xFFFFFFFF, 0, -1}),
    [](const auto& info) { return info.param.name; });

TEST(PackageFileTest, PartHeaderCutShortEndsTheParts) {
    const std::string cutPartHeader("\x09\x00\x44", 3);
    Opened o(packageFile({part(PartHeader, "abc")}) + cutPartHeader, true, {PartHeader, PartSignature});
    EXPECT_EQ(o.file.nextPart(), PartHeader);
    EXPECT_EQ(o.file.nextPart(), -1);
    EXPECT_TRUE(o.file.fail());
}

TEST(PackageFileTest, UnwantedPartsAreSkippedButHashed) {
    const std::string text = part(PartText24, "leading text");
    const std::string header = part(PartHeader, headerData("pkg", 1));
    const std::string signature = part(PartSignature, std::string(68, 's'));
    Opened o(packageFile({text, header, signature}), true, {PartHeader});
    EXPECT_EQ(o.file.nextPart(), PartHeader);
    // The digest taken before the header part closes the leading bytes.
    EXPECT_EQ(lastDigest(o.file), sha1Of(text));
    EXPECT_EQ(o.file.partStart(), 8u + text.size() + 6u);
    EXPECT_EQ(o.file.nextPart(), -1);
    EXPECT_EQ(lastDigest(o.file), sha1Of(header + signature));
}

TEST(PackageFileTest, ShortReadSetsFailureThatStopsLaterParts) {
    Opened o(packageFile({part(PartHeader, "abcd"), part(PartNote, "note")}), true, {PartHeader, PartNote});
    ASSERT_EQ(o.file.nextPart(), PartHeader);
    char buffer[10];
    o.file.read(buffer, sizeof buffer);
    EXPECT_EQ(o.file.gcount(), 4);
    EXPECT_TRUE(o.file.eof());
    EXPECT_TRUE(o.file.fail());
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(o.file.nextPart(), -1);
}

// A size claim past 2 GiB does not fit std::streamsize on a 32-bit target;
// the bytes that are there must still be readable.
TEST(PackageFileTest, GiantSizeClaimStillGivesTheBytesThere) {
    Opened o(packageFile({partClaiming(PartHeader, 0xFFFFFFF0, "abcd")}), false, {PartHeader});
    ASSERT_EQ(o.file.nextPart(), PartHeader);
    EXPECT_EQ(o.file.rdbuf()->in_avail(), 4);
    char buffer[10];
    o.file.read(buffer, sizeof buffer);
    ASSERT_EQ(o.file.gcount(), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(o.file.partRemaining(), 0xFFFFFFF0u - 4u);
}

TEST(PackageFileTest, SingleByteReadsStopAtThePartEnd) {
    Opened o(packageFile({part(PartHeader, "xy"), part(PartNote, "z")}), true, {PartHeader, PartNote});
    ASSERT_EQ(o.file.nextPart(), PartHeader);
    EXPECT_EQ(o.file.get(), 'x');
    EXPECT_EQ(o.file.peek(), 'y');
    EXPECT_EQ(o.file.get(), 'y');
    EXPECT_EQ(o.file.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(o.file.eof());
    // End of file alone (a get at the end) does not end the parts.
    o.file.clear(std::ios::eofbit);
    EXPECT_EQ(o.file.nextPart(), PartNote);
    EXPECT_EQ(o.file.get(), 'z');
}

TEST(PackageFileTest, PutBackIsNotHashedOrCopiedTwice) {
    const std::string header = part(PartHeader, "0123456789abcdef");
    std::stringbuf copy;
    Opened o(packageFile({header}), true, {PartHeader}, &copy);
    PackageFile& file = o.file;
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
    EXPECT_EQ(lastDigest(file), sha1Of(header));
    EXPECT_EQ(copy.str(), packageFile({header}));
}

TEST(PackageFileTest, PutBackAtPartStartFails) {
    Opened o(packageFile({part(PartText24, "ab"), part(PartHeader, "cd")}), true, {PartHeader});
    ASSERT_EQ(o.file.nextPart(), PartHeader);
    EXPECT_FALSE(o.file.unget());
    EXPECT_TRUE(o.file.bad());
}

TEST(PackageFileTest, HashedSeekGoesForwardOnly) {
    const std::string header = part(PartHeader, "0123456789");
    std::stringbuf copy;
    Opened o(packageFile({header}), true, {PartHeader}, &copy);
    PackageFile& file = o.file;
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
    EXPECT_EQ(lastDigest(file), sha1Of(header));

    std::string cut = packageFile({header});
    cut.resize(cut.size() - 4);
    Opened past(cut, true, {PartHeader});
    ASSERT_EQ(past.file.nextPart(), PartHeader);
    EXPECT_FALSE(past.file.seekg(8)) << "past the end of the source";
}

TEST(PackageFileTest, UnhashedSeekMovesTheSourceBothWays) {
    Opened o(packageFile({part(PartText24, "skipped"), part(PartHeader, "0123456789")}), false, {PartHeader});
    ASSERT_EQ(o.file.nextPart(), PartHeader);
    ASSERT_TRUE(o.file.seekg(7));
    EXPECT_EQ(o.file.get(), '7');
    ASSERT_TRUE(o.file.seekg(2));
    EXPECT_EQ(o.file.get(), '2');
    EXPECT_EQ(o.file.partStart() + o.file.tellg(), 8 + 13 + 6 + 3);
}

// Wanted-part walks must give the same parts whether skipping seeks the
// source, reads it, or reads it because it cannot seek; a source that ends
// inside a skipped part ends the parts.
TEST(PackageFileTest, SkippingWorksWithAndWithoutSeeking) {
    const std::string bytes = packageFile({part(50, std::string(40000, 'x')), part(PartHeader, "head"),
                                           part(PartFileArchive, std::string(20000, 'y')), part(PartNote, "tail")});
    const std::string cut = bytes.substr(0, bytes.size() - 10000);
    for (bool hashing : {false, true}) {
        for (bool seekable : {false, true}) {
            SCOPED_TRACE(testing::Message() << "hashing " << hashing << " seekable " << seekable);
            for (const std::string* source : {&bytes, &cut}) {
                std::istringstream seekableSource(*source);
                PipeSource pipe(*source);
                std::istream pipeSource(&pipe);
                PackageFile file(seekable ? static_cast<std::istream&>(seekableSource) : pipeSource, hashing);
                file.want(PartHeader);
                file.want(PartNote);
                EXPECT_EQ(file.nextPart(), PartHeader);
                EXPECT_EQ(file.get(), 'h');
                if (source == &cut) {
                    EXPECT_EQ(file.nextPart(), -1);
                    EXPECT_TRUE(file.fail());
                    continue;
                }
                EXPECT_EQ(file.nextPart(), PartNote);
                EXPECT_EQ(readAll(file), "tail");
                EXPECT_EQ(file.nextPart(), -1);
            }
        }
    }
}

TEST(PackageFileTest, CopyOutputIsAnExactCopyOfTheBytesRead) {
    const std::string bytes =
        packageFile({part(PartBundleHeader, headerData("bundle", 1)), part(77, std::string(20000, 'q')),
                     part(PartHeader, headerData("member", 2)), part(PartFileArchive, std::string(5000, 'z')),
                     part(PartSignature, std::string(100, 's'))});
    std::stringbuf copy;
    Opened o(bytes, true, {PartHeader, PartSignature}, &copy);
    ASSERT_EQ(o.file.nextPart(), PartHeader);
    char some[7];
    o.file.read(some, sizeof some);
    ASSERT_EQ(o.file.nextPart(), PartSignature);
    std::uint8_t signature[68];
    o.file.packageBuffer().readSignature(signature);
    EXPECT_EQ(copy.str(), bytes.substr(0, bytes.size() - 32));
    EXPECT_EQ(o.file.nextPart(), -1);
    EXPECT_EQ(copy.str(), bytes);
}

std::string signatureHeader(std::size_t size = 68) {
    return le16(PartSignature) + le32(static_cast<std::uint32_t>(size));
}

// A package from its header part to its signature, whose digest field holds
// the SHA-1 of the signed range; a signature part longer than 68 bytes is
// padded.
std::string member(const std::string& name, const std::string& archive, std::size_t signatureSize = 68) {
    const std::string parts = part(PartHeader, headerData(name, 1)) + part(PartFileArchive, archive);
    std::string signature = sha1Of(parts + signatureHeader(signatureSize)) + std::string(48, 'r');
    signature.resize(signatureSize, 'p');
    return parts + part(PartSignature, signature);
}

TEST(PackageSignatureTest, BundleMembersAreHashedIndependently) {
    const std::string leading =
        part(PartBundleHeader, headerData("bundle", 1)) + part(PartDisabledMembers, dependencyData({{"second"}}));
    // The first signature is padded: the padding belongs to no signed range.
    const std::string bytes =
        packageFile({leading, member("first", std::string(3000, 'a'), 100), member("second", std::string(70000, 'b'))});
    EXPECT_EQ(signatureChecks(bytes, false), (std::vector<bool>{true, true}));

    // A flipped byte in one member's archive spoils only that member.
    std::string damaged = bytes;
    damaged[8 + leading.size() + 6 + 32 + 6 + 100] ^= 0x01;
    EXPECT_EQ(signatureChecks(damaged, false), (std::vector<bool>{false, true}));

    // The bundle's leading parts are outside every signed range.
    std::string otherLeading = bytes;
    otherLeading[8 + 6 + 3] ^= 0x01;
    EXPECT_EQ(signatureChecks(otherLeading, false), (std::vector<bool>{true, true}));
}

TEST(PackageSignatureTest, SignatureDataIsCopiedButNotHashed) {
    const std::string trailer = part(66, "after");
    const std::string bytes = packageFile({member("h", "", 100), trailer});
    std::stringbuf copy;
    Opened o(bytes, true, {PartSignature}, &copy);
    ASSERT_EQ(o.file.nextPart(), PartSignature);
    std::uint8_t signature[68];
    EXPECT_TRUE(o.file.packageBuffer().readSignature(signature));
    EXPECT_EQ(o.file.partRemaining(), 32u);
    EXPECT_EQ(o.file.nextPart(), -1);
    // The rest of the signature part is skipped like any unread data.
    EXPECT_EQ(lastDigest(o.file), sha1Of(std::string(32, 'p') + trailer));
    EXPECT_EQ(copy.str(), bytes);
}

TEST(PackageSignatureTest, RefusesWhatCannotBeChecked) {
    const std::string good = packageFile({member("h", "")});
    std::string altered = good;
    altered[8 + 6] ^= 0x20;
    // Its digest matches, but 68 bytes would reach into the next part.
    const std::string headerPart = part(PartHeader, headerData("h", 1));
    const std::string short67 = packageFile({headerPart, part(PartSignature, sha1Of(headerPart + signatureHeader(67)) +
                                                                               std::string(47, 'r')),
                                             part(PartNote, "note")});
    const struct {
        const char* name;
        std::string bytes;
        bool hashing;
        std::uint32_t remaining;  // of the signature part afterwards
    } rows[] = {
        {"unhashed stream", good, false, 68},
        {"67-byte signature", short67, true, 67},
        {"source ends inside the signature", good.substr(0, good.size() - 1), true, 1},
        {"digest mismatch", altered, true, 0},
    };
    for (const auto& row : rows) {
        Opened o(row.bytes, row.hashing, {PartSignature});
        ASSERT_EQ(o.file.nextPart(), PartSignature) << row.name;
        std::uint8_t signature[68];
        EXPECT_FALSE(o.file.packageBuffer().readSignature(signature)) << row.name;
        EXPECT_EQ(o.file.partRemaining(), row.remaining) << row.name;
    }
}

}  // namespace
}  // namespace velmora
