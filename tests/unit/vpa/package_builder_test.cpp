#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "package/byte_order.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "../package/package_bytes.h"
#include "package_builder.h"
#include "support/dev_key.h"

namespace velmora {
namespace {

const std::uint8_t* bytesAt(const std::string& image, std::size_t offset) {
    return reinterpret_cast<const std::uint8_t*>(image.data() + offset);
}

// A package with every metadata part the builder can write.
PackageRecipe fullRecipe() {
    PackageRecipe recipe;
    recipe.name = "stavel";
    recipe.version = 0x06016603;
    recipe.buildTime = 1700000000;
    recipe.flags = FlagBootImage | FlagNoMetadata;
    recipe.text24 = "twenty-four";
    recipe.arch = "powerpc";
    recipe.text2 = "two";
    recipe.note = "a note";
    recipe.deps = {{"base", 0x06006600, 0x07006600, 0}, {"libc", 0, 0, 0}};
    recipe.provides = {{"web", 0x01006600, 0, -3}};
    recipe.conflicts = {{"old", 0, 0x05006600, 0}};
    recipe.keepImage = true;
    recipe.keepImageData = "kept";
    recipe.files = {directoryEntry("/bin"), regularFile("/bin/tool", "#!/bin/sh\necho hi\n", 0755, 2),
                  symlinkEntry("/bin/link", "tool"), regularFile("/etc/empty", "")};
    return recipe;
}

// The image read back as an offered package file, as the installer reads
// it; null when the reader refuses it.
std::unique_ptr<OfferedPackage> readBack(const std::string& image) {
    char path[] = "/tmp/vpa-builder-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return nullptr;
    ::close(fd);
    std::ofstream(path, std::ios::binary) << image;
    auto offered = std::make_unique<OfferedPackage>();
    const bool read = readPackageFile(*offered, path);
    std::remove(path);
    return read ? std::move(offered) : nullptr;
}

std::vector<std::uint16_t> partTypes(const std::string& image) {
    std::vector<std::uint16_t> types;
    for (const PartLocation& part : locateParts(image)) types.push_back(part.type);
    return types;
}

std::vector<bool> streamDigestChecks(const std::string& image) { return test::signatureChecks(image, false); }
std::vector<bool> installerChecks(const std::string& image) { return test::signatureChecks(image, true); }

TEST(PackageBuilder, MetadataReadsBackThroughTheInstallersReader) {
    const PackageRecipe recipe = fullRecipe();
    const std::string image = buildPackage(recipe);
    auto offered = readBack(image);
    ASSERT_NE(offered, nullptr);
    EXPECT_EQ(offered->name, "stavel");
    EXPECT_EQ(offered->version, recipe.version);
    EXPECT_EQ(offered->buildTime, recipe.buildTime);
    EXPECT_EQ(offered->flags, recipe.flags);
    EXPECT_EQ(offered->partText24, "twenty-four");
    EXPECT_EQ(offered->arch, "powerpc");
    EXPECT_EQ(offered->partText2, "two");
    EXPECT_EQ(offered->note, "a note");
    EXPECT_EQ(test::listText(offered->deps), test::listText(recipe.deps));
    EXPECT_EQ(test::listText(offered->provides), test::listText(recipe.provides));
    EXPECT_EQ(test::listText(offered->conflicts), test::listText(recipe.conflicts));
    EXPECT_TRUE(offered->keepsImage);
    EXPECT_FALSE(offered->isBundle);
    EXPECT_FALSE(offered->overlay);
    EXPECT_EQ(offered->packageLength, image.size());
    EXPECT_EQ(loadLe32(bytesAt(image, 0)), PackageMagic);
    EXPECT_EQ(loadLe32(bytesAt(image, 4)), image.size() - 8);
}

// The parts come in the order the reader looks for them; extra parts stand
// before the type named, and the reader skips them.
TEST(PackageBuilder, PartOrder) {
    using Types = std::vector<std::uint16_t>;
    EXPECT_EQ(partTypes(buildPackage(fullRecipe())), (Types{1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9}));
    PackageRecipe minimal;
    minimal.name = "bare";
    EXPECT_EQ(partTypes(buildPackage(minimal)), (Types{1, 4, 9}));

    PackageRecipe recipe = fullRecipe();
    recipe.extraParts = {{77, "unknown", PartDependencies}, {78, "at the end"}, {79, "no such part", 1234}};
    const std::string image = buildPackage(recipe);
    EXPECT_EQ(partTypes(image), (Types{1, 24, 16, 2, 23, 77, 3, 19, 17, 21, 4, 78, 9, 79}));
    auto offered = readBack(image);
    ASSERT_NE(offered, nullptr);
    EXPECT_EQ(test::listText(offered->deps), test::listText(recipe.deps));
    EXPECT_EQ(streamDigestChecks(image), std::vector<bool>{true});
}

TEST(PackageBuilder, FlagsWordIsThereFrom36Bytes) {
    for (const auto& [headerSize, flags] : {std::pair{32u, 0u}, {36u, 0x11223344u}, {40u, 0x11223344u}}) {
        SCOPED_TRACE(headerSize);
        PackageRecipe recipe;
        recipe.name = "sixteen-chars-ab";  // a full name field, no terminator
        recipe.flags = 0x11223344;
        recipe.headerSize = headerSize;
        const std::string image = buildPackage(recipe);
        EXPECT_EQ(findPart(image, PartHeader)->size, headerSize);
        auto offered = readBack(image);
        ASSERT_NE(offered, nullptr);
        EXPECT_EQ(offered->name, "sixteen-chars-ab");
        EXPECT_EQ(offered->flags, flags);
    }
}

TEST(PackageBuilder, ArchiveIsOneZlibStreamOfEntries) {
    PackageRecipe recipe = fullRecipe();
    std::string image = buildPackage(recipe);
    auto archive = findPart(image, PartFileArchive);
    ASSERT_TRUE(archive.has_value());

    z_stream zlib{};
    ASSERT_EQ(inflateInit(&zlib), Z_OK);
    std::string inflated(1 << 16, '\0');
    zlib.next_in = const_cast<Bytef*>(bytesAt(image, archive->dataOffset()));
    zlib.avail_in = archive->size;
    zlib.next_out = reinterpret_cast<Bytef*>(inflated.data());
    zlib.avail_out = static_cast<uInt>(inflated.size());
    int result = inflate(&zlib, Z_FINISH);
    inflated.resize(zlib.total_out);
    inflateEnd(&zlib);
    ASSERT_EQ(result, Z_STREAM_END);
    EXPECT_EQ(zlib.avail_in, 0u) << "the part holds exactly one stream";

    std::size_t offset = 0;
    for (const FileEntry& expected : recipe.files) {
        ASSERT_LE(offset + 30, inflated.size());
        const std::uint8_t* header = bytesAt(inflated, offset);
        EXPECT_EQ(loadLe16(header), expected.mode);
        EXPECT_EQ(header[23], expected.processorGroup);
        std::uint32_t size = loadLe32(header + 24);
        std::uint16_t nameLength = loadLe16(header + 28);
        ASSERT_EQ(size, expected.content.size());
        ASSERT_LE(offset + 30 + nameLength + size, inflated.size());
        EXPECT_EQ(inflated.substr(offset + 30, nameLength), expected.path);
        EXPECT_EQ(inflated.substr(offset + 30 + nameLength, size), expected.content);
        offset += 30 + nameLength + size;
    }
    EXPECT_EQ(offset, inflated.size());
}

TEST(PackageBuilder, SignaturePartHoldsTheDigestOfTheSignedRange) {
    PackageRecipe recipe = fullRecipe();
    const std::string image = buildPackage(recipe);
    auto signature = findPart(image, PartSignature);
    ASSERT_EQ(signature->size, SignatureSize);
    EXPECT_EQ(signature->dataOffset() + SignatureSize, image.size());
    // From the header part's header (offset 8) through the signature's own
    // part header.
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(bytesAt(image, 8), signature->dataOffset() - 8, digest);
    EXPECT_EQ(image.substr(signature->dataOffset(), 20), std::string(reinterpret_cast<char*>(digest), 20));
    EXPECT_EQ(image.substr(signature->dataOffset() + 20), std::string(48, '\0')) << "unsigned: r and v are zero";
    EXPECT_EQ(streamDigestChecks(image), std::vector<bool>{true});

    // The size option cuts the part short or pads it.
    recipe.signatureSize = 67;
    EXPECT_EQ(streamDigestChecks(buildPackage(recipe)), std::vector<bool>{false});
    recipe.signatureSize = 100;
    const std::string padded = buildPackage(recipe);
    EXPECT_EQ(findPart(padded, PartSignature)->size, 100u);
    EXPECT_EQ(streamDigestChecks(padded), std::vector<bool>{true});
}

std::string commitmentOf(const std::string& image) {
    return image.substr(findPart(image, PartSignature)->dataOffset() + 20, 16);
}

TEST(SignedPackage, KeyedSignatureHoldsAndIsReproducible) {
    const std::string image = buildPackage(fullRecipe(), &developmentKey());
    EXPECT_EQ(installerChecks(image), std::vector<bool>{true});
    // The derived nonce signs the same bytes the same way, and other bytes
    // with another nonce: one nonce for two digests gives the key away.
    EXPECT_EQ(buildPackage(fullRecipe(), &developmentKey()), image);
    PackageRecipe other = fullRecipe();
    other.note = "another note";
    EXPECT_NE(commitmentOf(buildPackage(other, &developmentKey())), commitmentOf(image));
}

TEST(SignedPackage, ResigningADamagedImageMakesItsSignatureHoldAgain) {
    std::string image = buildPackage(fullRecipe(), &developmentKey());
    ASSERT_TRUE(setDependencyCount(image, PartDependencies, 1000));
    EXPECT_EQ(installerChecks(image), std::vector<bool>{false});
    EXPECT_EQ(signImage(image, &developmentKey()), 1u);
    EXPECT_EQ(installerChecks(image), std::vector<bool>{true});
}

TEST(SignedPackage, BundleMembersAreSignedEachOnItsOwn) {
    PackageRecipe first = fullRecipe();
    PackageRecipe second;
    second.name = "other";
    second.version = 0x03146302;
    second.deps = {{"stavel", 0x06016600, 0, 0}};
    second.files = {regularFile("/lib/other.so", "ELF")};
    BundleRecipe bundle;
    bundle.bundle.name = "suite";
    bundle.bundle.version = 0x06016600;
    bundle.bundle.note = "the suite";
    bundle.disabledMembers = {"other"};
    bundle.members = {buildPackage(first, &developmentKey()), buildPackage(second, &developmentKey())};
    std::string image = buildBundle(bundle);

    const std::vector<std::uint16_t> types = {18, 23, 20, 1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9, 1, 3, 4, 9};
    EXPECT_EQ(partTypes(image), types);
    EXPECT_EQ(loadLe32(bytesAt(image, 4)), image.size() - 8);
    EXPECT_EQ(installerChecks(image), (std::vector<bool>{true, true}));

    auto offered = readBack(image);
    ASSERT_NE(offered, nullptr);
    EXPECT_TRUE(offered->isBundle);
    EXPECT_EQ(offered->note, "the suite");
    ASSERT_EQ(offered->members.size(), 2u);
    EXPECT_EQ(offered->members[1]->name, "other");
    EXPECT_EQ(test::listText(offered->members[1]->deps), test::listText(second.deps));

    // The disabled members, read as the stream installer reads them.
    std::istringstream source(image);
    PackageFile file(source, true);
    file.want(PartDisabledMembers);
    ASSERT_EQ(file.nextPart(), PartDisabledMembers);
    std::vector<Dependency> disabled;
    ASSERT_TRUE(readDependencyList(file, disabled));
    ASSERT_EQ(disabled.size(), 1u);
    EXPECT_EQ(disabled[0].name, "other");
}

// Deliberate damage, as the tests of broken packages use it: what the
// metadata reader and the stream's digest check make of each.
TEST(PackageBuilder, ReaderAndDigestSeeTheDamage) {
    auto archive = [](const std::string& i) { return findPart(i, PartFileArchive)->dataOffset(); };
    const struct {
        const char* name;
        std::function<void(std::string&)> damage;
        bool metadataReadable;
        std::vector<bool> digestChecks;
    } rows[] = {
        {"Sound", [](std::string&) {}, true, {true}},
        {"FlippedArchiveByte", [&](std::string& i) { flipByte(i, archive(i) + 3); }, true, {false}},
        {"FlippedDigestByte", [](std::string& i) { flipByte(i, findPart(i, PartSignature)->dataOffset(), 1); }, true,
         {false}},
        {"FileHeaderIsOutsideTheSignedRange", [](std::string& i) { setFileLength(i, 5); }, false, {true}},
        {"WrongMagic", [](std::string& i) { setMagic(i, 0x12345678); }, false, {}},
        {"BigEndianMagic", [](std::string& i) { setMagic(i, 0x1EF1D0BA); }, false, {}},
        {"OverlayMagicIsNoDamage", [](std::string& i) { setMagic(i, OverlayMagic); }, true, {true}},
        {"CutShort", [](std::string& i) { cutImage(i, i.size() - 10); }, false, {false}},
        {"CutWithLengthFixed", [](std::string& i) {
             cutImage(i, i.size() - 10);
             fixFileLength(i);
         }, true, {false}},
        {"OversizedDependencyCount", [](std::string& i) {
             setDependencyCount(i, PartDependencies, 3);
             signImage(i, nullptr);
         },
         false, {true}},
        {"ArchiveLongerThanTheFile", [](std::string& i) { setPartSize(i, PartFileArchive, 0x7FFFFFFF); }, true, {}},
        {"MissingSignature", [](std::string& i) { removePart(i, PartSignature); }, true, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string image = buildPackage(fullRecipe());
        row.damage(image);
        EXPECT_EQ(readBack(image) != nullptr, row.metadataReadable);
        EXPECT_EQ(streamDigestChecks(image), row.digestChecks);
    }
}

TEST(PackageBuilder, LocatePartsStopsAtAPartThatRunsPastTheEnd) {
    std::string image = buildPackage(fullRecipe());
    std::size_t count = locateParts(image).size();
    ASSERT_TRUE(setPartSize(image, PartNote, 1000000));
    auto parts = locateParts(image);
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(parts.back().type, PartNote);
    EXPECT_LT(parts.size(), count);
    EXPECT_FALSE(setPartSize(image, PartSignature, 1)) << "the walk never reaches it";
}

}  // namespace
}  // namespace velmora
