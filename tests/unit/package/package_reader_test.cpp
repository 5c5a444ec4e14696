#include "package/package_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "package_bytes.h"

namespace velmora {
namespace {

using namespace velmora::test;

// The wanted set of offered package files.
void wantOfferedParts(PackageFile& file) {
    for (std::uint32_t type : {18, 1, 24, 16, 2, 23, 3, 19, 17, 21}) file.want(type);
}

struct HeaderRead {
    bool ok = false;
    PackageInfo info;
    std::int32_t typeAfter = 0;
    bool fileFailed = false;
};

std::unique_ptr<HeaderRead> readHeader(const std::vector<std::string>& parts) {
    auto result = std::make_unique<HeaderRead>();
    std::istringstream in(packageFile(parts));
    PackageFile file(in, true);
    wantOfferedParts(file);
    file.nextPart();
    result->ok = readPackageHeader(result->info, file);
    result->typeAfter = file.currentType();
    result->fileFailed = file.fail();
    return result;
}

struct FlagsRow {
    const char* name;
    std::string extra;  // header bytes after the first 32
    std::uint32_t flags;
};

void PrintTo(const FlagsRow& row, std::ostream* out) { *out << row.name; }

class HeaderFlagsTest : public ::testing::TestWithParam<FlagsRow> {};

TEST_P(HeaderFlagsTest, FlagsWordIsOptional) {
    const auto read = readHeader({part(PartHeader, headerData("pkg", 0x06010000, 77, GetParam().extra)),
                                  part(PartArchitecture, "powerpc")});
    ASSERT_TRUE(read->ok);
    EXPECT_EQ(read->info.flags, GetParam().flags);
    EXPECT_EQ(read->info.version, 0x06010000u);
    EXPECT_EQ(read->info.buildTime, 77u);
    EXPECT_EQ(read->info.arch, "powerpc");
}

INSTANTIATE_TEST_SUITE_P(Sizes, HeaderFlagsTest,
                         ::testing::Values(FlagsRow{"bytes32", "", 0}, FlagsRow{"bytes35", "abc", 0},
                                           FlagsRow{"bytes36", le32(0x80000003), 0x80000003},
                                           FlagsRow{"bytes40", le32(2) + "tail", 2}),
                         [](const auto& info) { return info.param.name; });

struct NameRow {
    const char* name;
    std::string field;  // the 16-byte name field
    bool ok;
    std::string expected;
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.name; }

class HeaderNameTest : public ::testing::TestWithParam<NameRow> {};

TEST_P(HeaderNameTest, NameEndsAtZeroOrAfterSixteenBytes) {
    const NameRow& row = GetParam();
    const std::string data = row.field + le32(1) + le32(2) + std::string(8, '\0');
    const auto read = readHeader({part(PartHeader, data)});
    EXPECT_EQ(read->ok, row.ok);
    if (row.ok) {
        EXPECT_EQ(read->info.name, row.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, HeaderNameTest,
    ::testing::Values(NameRow{"sixteenCharacters", "abcdefghijklmnop", true, "abcdefghijklmnop"},
                      NameRow{"threeLetters", std::string("dhc") + std::string(13, '\0'), true, "dhc"},
                      NameRow{"garbageAfterZero", std::string("ab\0cdefghijklmn", 16), true, "ab"},
                      NameRow{"empty", std::string(16, '\0'), false, ""},
                      NameRow{"dot", std::string(".") + std::string(15, '\0'), false, ""},
                      NameRow{"dotDot", std::string("..") + std::string(14, '\0'), false, ""},
                      NameRow{"slash", std::string("../etc") + std::string(10, '\0'), false, ""},
                      NameRow{"dotDotDotIsAName", std::string("...") + std::string(13, '\0'), true, "..."}),
    [](const auto& info) { return info.param.name; });

TEST(PackageHeaderTest, ShortHeaderPartIsRefused) {
    EXPECT_FALSE(readHeader({part(PartHeader, std::string(31, 'a'))})->ok);
    EXPECT_FALSE(readHeader({part(PartText24, headerData("pkg", 1))})->ok);
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
    ASSERT_EQ(info.deps.size(), 2u);
    EXPECT_EQ(info.deps[0].name, "system");
    EXPECT_EQ(info.deps[0].min, 0x06000000u);
    EXPECT_EQ(info.deps[0].max, 0x07000000u);
    EXPECT_EQ(info.deps[1].name, "dhcp");
    ASSERT_EQ(info.provides.size(), 1u);
    EXPECT_EQ(info.provides[0].priority, -5);
    ASSERT_EQ(info.conflicts.size(), 1u);
    EXPECT_EQ(info.conflicts[0].name, "old-wireless");
    EXPECT_EQ(info.conflicts[0].min, 1u);
    EXPECT_EQ(info.conflicts[0].max, 2u);
    EXPECT_EQ(info.conflicts[0].priority, 3);
    EXPECT_TRUE(info.keepsImage);
    EXPECT_EQ(read->typeAfter, PartKeepImage);
}

TEST(PackageHeaderTest, ArchitectureAbsentOrEmpty) {
    EXPECT_EQ(readHeader({headerPart("a", 1)})->info.arch, "i386");
    const auto empty = readHeader({headerPart("a", 1), part(PartArchitecture, "")});
    ASSERT_TRUE(empty->ok);
    EXPECT_EQ(empty->info.arch, "");
}

TEST(PackageHeaderTest, MetadataOutOfOrderIsPassedOver) {
    const auto read = readHeader({headerPart("a", 1), part(PartArchitecture, "mipsbe"), part(PartText24, "late"),
                                  part(PartNote, "note")});
    ASSERT_TRUE(read->ok);
    EXPECT_EQ(read->info.arch, "mipsbe");
    EXPECT_EQ(read->info.partText24, "");
    // The late part stays current for the caller.
    EXPECT_EQ(read->typeAfter, PartText24);
    EXPECT_EQ(read->info.note, "");
}

struct ListRow {
    const char* name;
    std::string data;
    bool ok;
    std::size_t entries;
};

void PrintTo(const ListRow& row, std::ostream* out) { *out << row.name; }

class DependencyListTest : public ::testing::TestWithParam<ListRow> {};

TEST_P(DependencyListTest, CountMustFitThePart) {
    const ListRow& row = GetParam();
    std::istringstream in(packageFile({part(PartDependencies, row.data), part(PartNote, "n")}));
    PackageFile file(in, true);
    file.want(PartDependencies);
    file.want(PartNote);
    ASSERT_EQ(file.nextPart(), PartDependencies);
    std::vector<Dependency> list(1);  // entries are appended
    EXPECT_EQ(readDependencyList(file, list), row.ok);
    if (row.ok) {
        EXPECT_EQ(list.size(), 1 + row.entries);
        EXPECT_EQ(file.nextPart(), PartNote);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DependencyListTest,
    ::testing::Values(ListRow{"countZero", le16(0), true, 0}, ListRow{"countTwoInSize34", le16(2) + std::string(32, 'a'), false, 0},
                      ListRow{"countTwoWhole", dependencyData({{"a"}, {"b"}}), true, 2},
                      ListRow{"trailingBytesSkipped", dependencyData({{"a"}}) + "extra", true, 1},
                      ListRow{"countCutShort", std::string(1, '\x01'), false, 0},
                      ListRow{"hugeCount", le16(0xFFFF) + std::string(64, 'a'), false, 0}),
    [](const auto& info) { return info.param.name; });

TEST(PackageHeaderTest, BadDependencyListFailsTheHeader) {
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

    std::string directory_;
    int count_ = 0;
};

TEST_F(PackageFileReadTest, ReadsASinglePackage) {
    const std::string bytes = packageFile({headerPart("dhcp", 0x06010000, 2), part(PartKeepImage, ""),
                                           part(PartFileArchive, "archive"), part(PartSignature, std::string(68, 's'))});
    const std::string path = write(bytes);
    OfferedPackage offered;
    ASSERT_TRUE(readPackageFile(offered, path));
    EXPECT_EQ(offered.path, path);
    EXPECT_EQ(offered.headerPath, path);
    EXPECT_EQ(offered.packageLength, bytes.size());
    EXPECT_FALSE(offered.overlay);
    EXPECT_EQ(offered.name, "dhcp");
    EXPECT_EQ(offered.flags, 2u);
    EXPECT_TRUE(offered.keepsImage);
    EXPECT_TRUE(offered.members.empty());
}

TEST_F(PackageFileReadTest, OverlayMagicMarksTheOffer) {
    OfferedPackage offered;
    ASSERT_TRUE(readPackageFile(offered, write(packageFile({headerPart("ovl", 1)}, OverlayMagic))));
    EXPECT_TRUE(offered.overlay);
}

TEST_F(PackageFileReadTest, SizeOnDiskMustMatchTheHeader) {
    const std::string bytes = packageFile({headerPart("dhcp", 1), part(PartFileArchive, "archive")});
    OfferedPackage appended;
    EXPECT_FALSE(readPackageFile(appended, write(bytes + "x")));
    EXPECT_EQ(appended.packageLength, bytes.size());
    OfferedPackage truncated;
    EXPECT_FALSE(readPackageFile(truncated, write(bytes.substr(0, bytes.size() - 1))));
    OfferedPackage missing;
    EXPECT_FALSE(readPackageFile(missing, directory_ + "/missing.vpa"));
    OfferedPackage wrongMagic;
    EXPECT_FALSE(readPackageFile(wrongMagic, write(packageFile({headerPart("dhcp", 1)}, 0x1EF1D0BA))));
}

TEST_F(PackageFileReadTest, BundleCollectsItsMembers) {
    const std::string bytes = packageFile({
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
    });
    OfferedPackage offered;
    ASSERT_TRUE(readPackageFile(offered, write(bytes)));
    EXPECT_TRUE(offered.isBundle);
    EXPECT_EQ(offered.name, "velmora");
    EXPECT_EQ(offered.note, "bundle note");
    EXPECT_TRUE(offered.keepsImage);
    ASSERT_EQ(offered.members.size(), 2u);
    const PackageInfo& system = *offered.members[0];
    EXPECT_EQ(system.name, "system");
    EXPECT_EQ(system.flags, 1u);
    EXPECT_EQ(system.arch, "i386");
    ASSERT_EQ(system.deps.size(), 1u);
    EXPECT_EQ(system.deps[0].name, "velmora");
    const PackageInfo& wireless = *offered.members[1];
    EXPECT_EQ(wireless.name, "wireless");
    EXPECT_EQ(wireless.version, 0x06020000u);
    EXPECT_EQ(wireless.arch, "powerpc");
    EXPECT_TRUE(wireless.keepsImage);
    EXPECT_TRUE(wireless.deps.empty());
}

TEST_F(PackageFileReadTest, BundleWithoutMembersOrWithABadMemberIsRefused) {
    OfferedPackage empty;
    EXPECT_FALSE(readPackageFile(empty, write(packageFile({part(PartBundleHeader, headerData("b", 1)),
                                                           part(PartFileArchive, "a")}))));
    OfferedPackage badMember;
    EXPECT_FALSE(readPackageFile(badMember, write(packageFile({part(PartBundleHeader, headerData("b", 1)),
                                                               headerPart("ok", 1), headerPart("..", 1)}))));
}

TEST_F(PackageFileReadTest, DirectoryNamedLikeAPackageIsRefusedNotFatal) {
    // Reading a directory makes the file buffer throw; it must read as a
    // damaged package instead of ending the installer.
    const std::string path = directory_ + "/dir.vpa";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    OfferedPackage offered;
    EXPECT_FALSE(readPackageFile(offered, path));
    rmdir(path.c_str());
}

}  // namespace
}  // namespace velmora
