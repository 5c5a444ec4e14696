#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "package/byte_order.h"
#include "package/package_reader.h"
#include "package/package_stream.h"
#include "package/signature_signer.h"
#include "package/signature_verifier.h"
#include "package_builder.h"

namespace velmora {
namespace {

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/vpa-builder-XXXXXX";
        if (::mkdtemp(name) != nullptr) path_ = name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string write(const std::string& name, const std::string& bytes) const {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }

private:
    std::string path_;
};

const std::uint8_t* bytesAt(const std::string& image, std::size_t offset) {
    return reinterpret_cast<const std::uint8_t*>(image.data() + offset);
}

std::string sha1Of(const std::string& bytes, std::size_t from, std::size_t to) {
    unsigned char out[SHA_DIGEST_LENGTH];
    SHA1(bytesAt(bytes, from), to - from, out);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
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

std::unique_ptr<OfferedPackage> readBack(const TempDir& dir, const std::string& image) {
    auto offered = std::make_unique<OfferedPackage>();
    if (!readPackageFile(*offered, dir.write("package.vpa", image))) return nullptr;
    return offered;
}

void expectSameList(const std::vector<Dependency>& actual, const std::vector<Dependency>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].name, expected[i].name);
        EXPECT_EQ(actual[i].min, expected[i].min);
        EXPECT_EQ(actual[i].max, expected[i].max);
        EXPECT_EQ(actual[i].priority, expected[i].priority);
    }
}

// Walks the image with the installer's package stream to each signature
// part and checks its digest field against the range the stream hashed.
std::vector<bool> streamDigestChecks(const std::string& image) {
    std::istringstream source(image);
    PackageFile file(source, true);
    file.want(PartHeader);
    file.want(PartSignature);
    std::vector<bool> results;
    while (file.nextPart() >= 0) {
        if (file.currentType() != PartSignature) continue;
        std::uint8_t signature[SignatureSize];
        results.push_back(file.packageBuffer().readSignature(signature));
    }
    return results;
}

TEST(PackageBuilder, MetadataReadsBackThroughTheInstallersReader) {
    TempDir dir;
    PackageRecipe recipe = fullRecipe();
    std::string image = buildPackage(recipe);
    auto offered = readBack(dir, image);
    ASSERT_NE(offered, nullptr);
    EXPECT_EQ(offered->name, "stavel");
    EXPECT_EQ(offered->version, recipe.version);
    EXPECT_EQ(offered->buildTime, recipe.buildTime);
    EXPECT_EQ(offered->flags, recipe.flags);
    EXPECT_EQ(offered->partText24, "twenty-four");
    EXPECT_EQ(offered->arch, "powerpc");
    EXPECT_EQ(offered->partText2, "two");
    EXPECT_EQ(offered->note, "a note");
    expectSameList(offered->deps, recipe.deps);
    expectSameList(offered->provides, recipe.provides);
    expectSameList(offered->conflicts, recipe.conflicts);
    EXPECT_TRUE(offered->keepsImage);
    EXPECT_FALSE(offered->isBundle);
    EXPECT_FALSE(offered->overlay);
    EXPECT_EQ(offered->packageLength, image.size());
    EXPECT_EQ(loadLe32(bytesAt(image, 0)), PackageMagic);
    EXPECT_EQ(loadLe32(bytesAt(image, 4)), image.size() - 8);
}

TEST(PackageBuilder, PartsComeInTheOrderTheReaderLooksForThem) {
    std::vector<std::uint16_t> types;
    for (const PartLocation& part : locateParts(buildPackage(fullRecipe()))) types.push_back(part.type);
    EXPECT_EQ(types, (std::vector<std::uint16_t>{1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9}));

    PackageRecipe minimal;
    minimal.name = "bare";
    types.clear();
    for (const PartLocation& part : locateParts(buildPackage(minimal))) types.push_back(part.type);
    EXPECT_EQ(types, (std::vector<std::uint16_t>{1, 4, 9}));
}

TEST(PackageBuilder, ExtraPartsStandBeforeTheNamedTypeAndAreSkippedByTheReader) {
    TempDir dir;
    PackageRecipe recipe = fullRecipe();
    recipe.extraParts = {{77, "unknown", PartDependencies}, {78, "at the end"}, {79, "no such part", 1234}};
    std::string image = buildPackage(recipe);
    std::vector<std::uint16_t> types;
    for (const PartLocation& part : locateParts(image)) types.push_back(part.type);
    EXPECT_EQ(types, (std::vector<std::uint16_t>{1, 24, 16, 2, 23, 77, 3, 19, 17, 21, 4, 78, 9, 79}));
    auto offered = readBack(dir, image);
    ASSERT_NE(offered, nullptr);
    expectSameList(offered->deps, recipe.deps);
    EXPECT_EQ(streamDigestChecks(image), std::vector<bool>{true});
}

struct HeaderSizeRow {
    const char* name;
    std::uint32_t headerSize;
    std::uint32_t expectedFlags;
};

class HeaderSizeTest : public ::testing::TestWithParam<HeaderSizeRow> {};

TEST_P(HeaderSizeTest, FlagsWordIsThereFrom36Bytes) {
    TempDir dir;
    PackageRecipe recipe;
    recipe.name = "sixteen-chars-ab";  // a full name field, no terminator
    recipe.flags = 0x11223344;
    recipe.headerSize = GetParam().headerSize;
    std::string image = buildPackage(recipe);
    EXPECT_EQ(findPart(image, PartHeader)->size, GetParam().headerSize);
    auto offered = readBack(dir, image);
    ASSERT_NE(offered, nullptr);
    EXPECT_EQ(offered->name, "sixteen-chars-ab");
    EXPECT_EQ(offered->flags, GetParam().expectedFlags);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HeaderSizeTest,
                         ::testing::Values(HeaderSizeRow{"NoFlagsWord", 32, 0},
                                           HeaderSizeRow{"FlagsWord", 36, 0x11223344},
                                           HeaderSizeRow{"FlagsAndPadding", 40, 0x11223344}),
                         [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(recipe.files[0].mode, 040755);
    EXPECT_EQ(recipe.files[2].mode, 0120777);
}

TEST(PackageBuilder, SignatureDigestIsTheSha1OfTheSignedRange) {
    std::string image = buildPackage(fullRecipe());
    auto signature = findPart(image, PartSignature);
    ASSERT_TRUE(signature.has_value());
    ASSERT_EQ(signature->size, SignatureSize);
    EXPECT_EQ(signature->dataOffset() + SignatureSize, image.size());
    // From the header part's header (offset 8) through the signature's own
    // part header.
    EXPECT_EQ(image.substr(signature->dataOffset(), 20), sha1Of(image, 8, signature->dataOffset()));
    EXPECT_EQ(image.substr(signature->dataOffset() + 20), std::string(48, '\0')) << "unsigned: r and v are zero";
    EXPECT_EQ(streamDigestChecks(image), std::vector<bool>{true});
}

class SignedPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < key.privateScalar.size(); ++i)
            key.privateScalar[i] = static_cast<std::uint8_t>(i * 37 + 11);
        key.privateScalar[31] &= 0x0F;  // below the group order
        key.constants = sha256Constants();
        key.constants.k[5] ^= 0x01020304;  // the installer's own constants differ from SHA-256's
        key.nonceSource = NonceSource::Derived;  // reproducible packages
        std::uint8_t adjusted[32];
        ASSERT_TRUE(derivePublicKey(key.privateScalar.data(), publicKey, adjusted));
    }

    // Checks the commitment of every signature in the image.
    bool commitmentsHold(const std::string& image, const std::uint8_t* trusted) const {
        bool any = false;
        for (std::size_t i = 0;; ++i) {
            auto part = findPart(image, PartSignature, i);
            if (!part) break;
            const std::uint8_t* fields = bytesAt(image, part->dataOffset());
            if (!verifyCommitment(fields, fields + 20, fields + 36, trusted, key.constants)) return false;
            any = true;
        }
        return any;
    }

    SigningKey key;
    std::uint8_t publicKey[32] = {};
};

TEST_F(SignedPackageTest, KeyedSignatureVerifiesUnderTheMatchingPublicKeyOnly) {
    std::string image = buildPackage(fullRecipe(), &key);
    EXPECT_EQ(streamDigestChecks(image), std::vector<bool>{true});
    EXPECT_TRUE(commitmentsHold(image, publicKey));

    SigningKey other = key;
    other.privateScalar[0] ^= 0x10;
    std::uint8_t otherPublic[32];
    std::uint8_t adjusted[32];
    ASSERT_TRUE(derivePublicKey(other.privateScalar.data(), otherPublic, adjusted));
    EXPECT_FALSE(commitmentsHold(buildPackage(fullRecipe(), &other), publicKey));
    EXPECT_EQ(buildPackage(fullRecipe(), &key), image) << "the nonce is derived, not random";
}

TEST_F(SignedPackageTest, ResigningADamagedImageMakesItsSignatureHoldAgain) {
    std::string image = buildPackage(fullRecipe(), &key);
    ASSERT_TRUE(setDependencyCount(image, PartDependencies, 1000));
    EXPECT_EQ(streamDigestChecks(image), std::vector<bool>{false});
    EXPECT_EQ(signImage(image, &key), 1u);
    EXPECT_EQ(streamDigestChecks(image), std::vector<bool>{true});
    EXPECT_TRUE(commitmentsHold(image, publicKey));
}

TEST_F(SignedPackageTest, BundleMembersAreSignedEachOnItsOwn) {
    TempDir dir;
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
    bundle.members = {buildPackage(first, &key), buildPackage(second, &key)};
    std::string image = buildBundle(bundle);

    std::vector<std::uint16_t> types;
    for (const PartLocation& part : locateParts(image)) types.push_back(part.type);
    EXPECT_EQ(types, (std::vector<std::uint16_t>{18, 23, 20, 1, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9, 1, 3, 4, 9}));
    EXPECT_EQ(loadLe32(bytesAt(image, 4)), image.size() - 8);
    EXPECT_EQ(streamDigestChecks(image), (std::vector<bool>{true, true}));
    EXPECT_TRUE(commitmentsHold(image, publicKey));

    auto offered = readBack(dir, image);
    ASSERT_NE(offered, nullptr);
    EXPECT_TRUE(offered->isBundle);
    EXPECT_EQ(offered->name, "suite");
    EXPECT_EQ(offered->note, "the suite");
    ASSERT_EQ(offered->members.size(), 2u);
    EXPECT_EQ(offered->members[0]->name, "stavel");
    EXPECT_EQ(offered->members[0]->version, 0x06016603u);
    EXPECT_TRUE(offered->members[0]->keepsImage);
    EXPECT_EQ(offered->members[1]->name, "other");
    EXPECT_EQ(offered->members[1]->version, 0x03146302u);
    expectSameList(offered->members[1]->deps, second.deps);

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
struct DamageRow {
    const char* name;
    std::function<void(std::string&)> damage;
    bool metadataReadable;
    std::vector<bool> digestChecks;
};

class DamageTest : public ::testing::TestWithParam<DamageRow> {};

TEST_P(DamageTest, ReaderAndDigestSeeTheDamage) {
    TempDir dir;
    std::string image = buildPackage(fullRecipe());
    GetParam().damage(image);
    auto offered = std::make_unique<OfferedPackage>();
    EXPECT_EQ(readPackageFile(*offered, dir.write("damaged.vpa", image)), GetParam().metadataReadable);
    EXPECT_EQ(streamDigestChecks(image), GetParam().digestChecks);
}

std::size_t archiveDataOffset(const std::string& image) { return findPart(image, PartFileArchive)->dataOffset(); }

INSTANTIATE_TEST_SUITE_P(
    Damages, DamageTest,
    ::testing::Values(
        DamageRow{"Sound", [](std::string&) {}, true, {true}},
        DamageRow{"FlippedArchiveByte", [](std::string& i) { flipByte(i, archiveDataOffset(i) + 3); }, true, {false}},
        DamageRow{"FlippedDigestByte",
                  [](std::string& i) { flipByte(i, findPart(i, PartSignature)->dataOffset(), 0x01); }, true, {false}},
        DamageRow{"FileHeaderIsOutsideTheSignedRange", [](std::string& i) { setFileLength(i, 5); }, false, {true}},
        DamageRow{"WrongMagic", [](std::string& i) { setMagic(i, 0x12345678); }, false, {}},
        DamageRow{"BigEndianMagic", [](std::string& i) { setMagic(i, 0x1EF1D0BA); }, false, {}},
        DamageRow{"OverlayMagicIsNoDamage", [](std::string& i) { setMagic(i, OverlayMagic); }, true, {true}},
        DamageRow{"CutShort", [](std::string& i) { cutImage(i, i.size() - 10); }, false, {false}},
        DamageRow{"CutWithLengthFixed",
                  [](std::string& i) {
                      cutImage(i, i.size() - 10);
                      fixFileLength(i);
                  },
                  true, {false}},
        DamageRow{"OversizedDependencyCount",
                  [](std::string& i) {
                      setDependencyCount(i, PartDependencies, 3);
                      signImage(i, nullptr);
                  },
                  false, {true}},
        DamageRow{"ArchiveLongerThanTheFile",
                  [](std::string& i) { setPartSize(i, PartFileArchive, 0x7FFFFFFF); }, true, {}},
        DamageRow{"MissingSignature", [](std::string& i) { removePart(i, PartSignature); }, true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PackageBuilder, SignatureSizeOptionCutsOrPadsThePart) {
    PackageRecipe recipe = fullRecipe();
    recipe.signatureSize = 67;
    EXPECT_EQ(streamDigestChecks(buildPackage(recipe)), std::vector<bool>{false});
    recipe.signatureSize = 100;
    std::string padded = buildPackage(recipe);
    EXPECT_EQ(findPart(padded, PartSignature)->size, 100u);
    EXPECT_EQ(streamDigestChecks(padded), std::vector<bool>{true});
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
