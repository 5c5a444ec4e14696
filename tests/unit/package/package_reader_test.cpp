#include "package/package_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "package_bytes.h"

namespace velmora {
namespace {

using namespace velmora::test;

struct HeaderRead {
    bool ok = false;
    PackageInfo info;
    std::int32_t typeAfter = 0;
    bool fileFailed = false;
};

// Reads the header from the first part on, wanting what the reader of
// offered package files wants.
std::unique_ptr<HeaderRead> readHeader(const std::vector<std::string>& parts) {
    auto result = std::make_unique<HeaderRead>();
    std::istringstream in(packageFile(parts));
    PackageFile file(in, true);
    for (std::uint32_t type : {18, 1, 24, 16, 2, 23, 3, 19, 17, 21}) file.want(type);
    file.nextPart();
    result->ok = readPackageHeader(result->info, file);
    result->typeAfter = file.currentType();
    result->fileFailed = file.fail();
    return result;
}

TEST(PackageHeaderTest, FlagsWordIsOptional) {
    const struct {
        const char* name;
        std::string extra;  // header bytes after the first 32
        std::uint32_t flags;
    } rows[] = {{"bytes32", "", 0}, {"bytes35", "abc", 0}, {"bytes36", le32(0x80000003), 0x80000003},
                {"bytes40", le32(2) + "tail", 2}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto read = readHeader(
            {part(PartHeader, headerData("pkg", 0x06010000, 77, row.extra)), part(PartArchitecture, "powerpc")});
        ASSERT_TRUE(read->ok);
        EXPECT_EQ(read->info.flags, row.flags);
        EXPECT_EQ(read->info.version, 0x06010000u);
        EXPECT_EQ(read->info.buildTime, 77u);
        EXPECT_EQ(read->info.arch, "powerpc");
    }
}

// Names become path components: the ones that are no usable component are
// refused, like a header part that is too short or is no header.
TEST(PackageHeaderTest, NameAndSizeDecideWhetherTheHeaderIsRead) {
    auto header = [](const std::string& field) { return part(PartHeader, field + std::string(16, '\0')); };
    const struct {
        const char* name;
        std::string firstPart;
        const char* expected;  // null: refused
    } rows[] = {
        {"sixteenCharacters", header("abcdefghijklmnop"), "abcdefghijklmnop"},
        {"threeLetters", header(std::string("dhc") + std::string(13, '\0')), "dhc"},
        {"garbageAfterZero", header(std::string("ab\0cdefghijklmn", 16)), "ab"},
        {"dotDotDotIsAName", header(std::string("...") + std::string(13, '\0')), "..."},
        {"empty", header(std::string(16, '\0')), nullptr},
        {"dot", header(std::string(".") + std::string(15, '\0')), nullptr},
        {"dotDot", header(std::string("..") + std::string(14, '\0')), nullptr},
        {"slash", header(std::string("../etc") + std::string(10, '\0')), nullptr},
        {"partOf31Bytes", part(PartHeader, std::string(31, 'a')), nullptr},
        {"notAHeaderPart", part(PartText24, headerData("pkg", 1)), nullptr},
    };
    for (const auto& row : rows) {
        const auto read = readHeader({row.firstPart});
        EXPECT_EQ(read->ok, row.expected != nullptr) << row.name;
        if (row.expected != nullptr) {
            EXPECT_EQ(read->info.name, row.expected) << row.name;
        }
    }
}

TEST(PackageHeaderTest, ReadsAllMetadataInOrder) {
    const auto read = readHeader({
        part(PartHeader, headerData("stavel", 0x06010000, 5, le32(1))),
        part(PartText24, "free text"),
        part(99, "unknown part between known ones"),
        part(PartArchitecture, "powerpc"),
        part(PartText2, std::string("two\0bytes", 9)),
        part(PartNote, "a note"),
        part(PartDependencies, dependencyData({{"system", 0x06000000, 0x07000000, 0}, {"dhcp"}})),
        part(PartProvides, dependencyData({{"wireless", 0, 0, -5}})),
        part(PartConflicts, dependencyData({{"old-wireless", 1, 2, 3}})),
        part(PartKeepImage, "anything"),
        part(PartFileArchive, "zzz"),
    });
    ASSERT_TRUE(read->ok);
    const PackageInfo& info = read->info;
    EXPECT_EQ(info.name, "stavel");
    EXPECT_FALSE(info.isBundle);
    EXPECT_EQ(info.flags, 1u);
    EXPECT_EQ(info.partText24, "free text");
    EXPECT_EQ(info.arch, "powerpc");
    EXPECT_EQ(info.partText2, std::string("two\0bytes", 9));
    EXPECT_EQ(info.note, "a note");
    EXPECT_EQ(listText(info.deps), "system 6000000 7000000 0;dhcp 0 0 0;");
    EXPECT_EQ(listText(info.provides), "wireless 0 0 -5;");
    EXPECT_EQ(listText(info.conflicts), "old-wireless 1 2 3;");
    EXPECT_TRUE(info.keepsImage);
    EXPECT_EQ(read->typeAfter, PartKeepImage);
}

TEST(PackageHeaderTest, MetadataOutOfOrderIsPassedOver) {
    const auto read = readHeader({headerPart("a", 1), part(PartArchitecture, ""), part(PartText24, "late"),
                                  part(PartNote, "note")});
    ASSERT_TRUE(read->ok);
    EXPECT_EQ(read->info.arch, "") << "an empty architecture is no missing one";
    EXPECT_EQ(read->info.partText24, "");
    // The late part stays current for the caller.
    EXPECT_EQ(read->typeAfter, PartText24);
    EXPECT_EQ(read->info.note, "");
}

TEST(PackageHeaderTest, DependencyCountMustFitThePart) {
    const struct {
        const char* name;
        std::string data;
        bool ok;
        std::size_t entries;
    } rows[] = {
        {"countZero", le16(0), true, 0},
        // The whole entries that are there are kept; the list is still damaged.
        {"countTwoInSize34", le16(2) + std::string(32, 'a'), false, 1},
        {"countTwoWhole", dependencyData({{"a"}, {"b"}}), true, 2},
        {"trailingBytesSkipped", dependencyData({{"a"}}) + "extra", true, 1},
        {"countCutShort", std::string(1, '\x01'), false, 0},
        {"hugeCount", le16(0xFFFF) + std::string(64, 'a'), false, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream in(packageFile({part(PartDependencies, row.data), part(PartNote, "n")}));
        PackageFile file(in, true);
        file.want(PartDependencies);
        file.want(PartNote);
        ASSERT_EQ(file.nextPart(), PartDependencies);
        std::vector<Dependency> list(1);  // entries are appended
        EXPECT_EQ(readDependencyList(file, list), row.ok);
        EXPECT_EQ(list.size(), 1 + row.entries);
        if (row.ok) {
            EXPECT_EQ(file.nextPart(), PartNote);
        }
    }
    // In a header, a bad list fails the whole header.
    EXPECT_FALSE(readHeader({headerPart("a", 1), part(PartProvides, le16(2) + std::string(32, 'a'))})->ok);
}

TEST(PackageHeaderTest, TextCutShortKeepsTheHeaderButEndsTheParts) {
    const auto read = readHeader({headerPart("a", 1), partClaiming(PartText24, 100, "only this"),
                                  part(PartArchitecture, "powerpc")});
    EXPECT_TRUE(read->ok);
    EXPECT_TRUE(read->fileFailed);
    EXPECT_EQ(read->info.arch, "i386");
    EXPECT_EQ(read->typeAfter, -1);
}

TEST(PackageHeaderTest, GiantClaimedTextSizeDoesNotAllocate) {
    const auto start = std::chrono::steady_clock::now();
    const auto read = readHeader({headerPart("a", 1), partClaiming(PartNote, 0xFFFFFFF0, "tiny")});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(read->ok);
    EXPECT_TRUE(read->fileFailed);
    EXPECT_LE(read->info.note.size(), 4u);
    EXPECT_LT(read->info.note.capacity(), 1u << 16);
}

class PackageFileReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/package_reader_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string write(const std::string& bytes) {
        const std::string path = directory_ + "/p" + std::to_string(++count_) + ".vpa";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    bool read(const std::string& bytes) { return readPackageFile(offered_, write(bytes)); }

    std::string directory_;
    int count_ = 0;
    OfferedPackage offered_;
};

TEST_F(PackageFileReadTest, ReadsASinglePackage) {
    const std::string bytes = packageFile({headerPart("dhcp", 0x06010000, 2), part(PartKeepImage, ""),
                                           part(PartFileArchive, "archive"), part(PartSignature, "s")});
    const std::string path = write(bytes);
    ASSERT_TRUE(readPackageFile(offered_, path));
    EXPECT_EQ(offered_.path, path);
    EXPECT_EQ(offered_.headerPath, path);
    EXPECT_EQ(offered_.packageLength, bytes.size());
    EXPECT_FALSE(offered_.overlay);
    EXPECT_EQ(offered_.name, "dhcp");
    EXPECT_EQ(offered_.flags, 2u);
    EXPECT_TRUE(offered_.keepsImage);
    EXPECT_TRUE(offered_.members.empty());

    OfferedPackage overlay;
    ASSERT_TRUE(readPackageFile(overlay, write(packageFile({headerPart("ovl", 1)}, OverlayMagic))));
    EXPECT_TRUE(overlay.overlay);
}

TEST_F(PackageFileReadTest, SizeOnDiskMustMatchTheHeader) {
    const std::string bytes = packageFile({headerPart("dhcp", 1), part(PartFileArchive, "archive")});
    EXPECT_FALSE(read(bytes + "x"));
    EXPECT_EQ(offered_.packageLength, bytes.size());
    EXPECT_FALSE(read(bytes.substr(0, bytes.size() - 1)));
    EXPECT_FALSE(readPackageFile(offered_, directory_ + "/missing.vpa"));
    EXPECT_FALSE(read(packageFile({headerPart("dhcp", 1)}, 0x1EF1D0BA))) << "wrong magic";
}

TEST_F(PackageFileReadTest, BundleCollectsItsMembers) {
    ASSERT_TRUE(read(packageFile({
        part(PartBundleHeader, headerData("velmora", 0x06010000, 9, le32(0))),
        part(PartNote, "bundle note"),
        part(PartKeepImage, ""),
        part(PartDisabledMembers, dependencyData({{"wireless"}})),
        headerPart("system", 0x06010000, 1),
        part(PartDependencies, dependencyData({{"velmora", 0x06010000, 0x06010000, 0}})),
        part(PartFileArchive, std::string(5000, 'a')),
        part(PartSignature, std::string(68, 's')),
        headerPart("wireless", 0x06020000),
        part(PartArchitecture, "powerpc"),
        part(PartKeepImage, ""),
        part(PartFileArchive, "b"),
        part(PartSignature, std::string(68, 's')),
    })));
    EXPECT_TRUE(offered_.isBundle);
    EXPECT_EQ(offered_.name, "velmora");
    EXPECT_EQ(offered_.note, "bundle note");
    EXPECT_TRUE(offered_.keepsImage);
    ASSERT_EQ(offered_.members.size(), 2u);
    const PackageInfo& system = *offered_.members[0];
    EXPECT_EQ(system.name, "system");
    EXPECT_EQ(system.flags, 1u);
    EXPECT_EQ(system.arch, "i386");
    EXPECT_EQ(listText(system.deps), "velmora 6010000 6010000 0;");
    const PackageInfo& wireless = *offered_.members[1];
    EXPECT_EQ(wireless.name, "wireless");
    EXPECT_EQ(wireless.version, 0x06020000u);
    EXPECT_EQ(wireless.arch, "powerpc");
    EXPECT_TRUE(wireless.keepsImage);
    EXPECT_TRUE(wireless.deps.empty());
}

TEST_F(PackageFileReadTest, BundleWithoutMembersOrWithABadMemberIsRefused) {
    EXPECT_FALSE(read(packageFile({part(PartBundleHeader, headerData("b", 1)), part(PartFileArchive, "a")})));
    EXPECT_FALSE(read(
        packageFile({part(PartBundleHeader, headerData("b", 1)), headerPart("ok", 1), headerPart("..", 1)})));
}

TEST_F(PackageFileReadTest, DirectoryNamedLikeAPackageIsRefusedNotFatal) {
    // Reading a directory makes the file buffer throw; it must read as a
    // damaged package instead of ending the installer.
    const std::string path = directory_ + "/dir.vpa";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    EXPECT_FALSE(readPackageFile(offered_, path));
}

}  // namespace
}  // namespace velmora
