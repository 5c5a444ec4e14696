// The key material built into the installer, and the installer's signature
// check over real packages signed with the development key.

#include "package/key_material.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "package/package_stream.h"
#include "package/sha1.h"
#include "package/signature_check.h"
#include "package_builder.h"
#include "support/dev_key.h"

namespace velmora {
namespace {

std::string readText(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first token outside comments, as written in the file.
std::string firstToken(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string word;
        if (words >> word) return word;
    }
    return "";
}

std::string hexOf(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(bytes[i]));
        text += pair;
    }
    return text;
}

bool sameConstants(const PackageHashConstants& a, const PackageHashConstants& b) {
    return std::equal(std::begin(a.k), std::end(a.k), std::begin(b.k)) &&
           std::equal(std::begin(a.h), std::end(a.h), std::begin(b.h));
}

TEST(KeyMaterialTest, BuiltInKeyIsTheDevelopmentKeyAsWrittenInItsFile) {
    const std::string text = readText(DEV_PUB_FILE);
    ASSERT_FALSE(text.empty()) << DEV_PUB_FILE;
    EXPECT_EQ(hexOf(BuiltInPublicKey, 32), firstToken(text))
        << "the tests sign with the development key; configure with INSTALLER_KEY_FILE=" << DEV_PUB_FILE;
    // The build's reader and the tool's reader of key files agree.
    EXPECT_EQ(std::memcmp(BuiltInPublicKey, developmentPublicKey().publicKey.data(), 32), 0);
    EXPECT_TRUE(sameConstants(BuiltInHashConstants, developmentPublicKey().constants));
}

TEST(KeyMaterialTest, PackageHashIsNotSha256) {
    for (int i = 0; i < 64; ++i) EXPECT_NE(BuiltInHashConstants.k[i], sha256Constants().k[i]) << "K[" << i << "]";
    for (int i = 0; i < 8; ++i) EXPECT_NE(BuiltInHashConstants.h[i], sha256Constants().h[i]) << "H[" << i << "]";

    const std::uint8_t digest[20] = {1, 2, 3};
    std::uint8_t ours[32];
    std::uint8_t standard[SHA256_DIGEST_LENGTH];
    packageHash(digest, sizeof digest, ours, BuiltInHashConstants);
    SHA256(digest, sizeof digest, standard);
    EXPECT_NE(hexOf(ours, 32), hexOf(standard, 32));
}

PackageRecipe stavelRecipe() {
    PackageRecipe recipe;
    recipe.name = "stavel";
    recipe.version = 0x06016600;
    recipe.buildTime = 1300000000;
    recipe.deps = {{"base", 0x06000000, 0, 0}};
    recipe.files = {regularFile("/bin/tool", std::string(3000, 't')), regularFile("/etc/tool.conf", "level=3\n")};
    return recipe;
}

PackageRecipe otherRecipe() {
    PackageRecipe recipe;
    recipe.name = "other";
    recipe.version = 0x03146302;
    recipe.buildTime = 1300000001;
    recipe.files = {regularFile("/lib/other.so", "ELF")};
    return recipe;
}

std::string bundleOf(const std::vector<std::string>& members) {
    BundleRecipe bundle;
    bundle.bundle.name = "suite";
    bundle.bundle.version = 0x06016600;
    bundle.members = members;
    return buildBundle(bundle);
}

// Every signature of the image as the installer checks it: read through a
// hashing PackageFile, verified when its part comes up.
std::vector<bool> installerChecks(const std::string& image, bool hashing = true) {
    std::istringstream in(image);
    PackageFile file(in, hashing);
    file.want(PartSignature);
    std::vector<bool> results;
    while (file.nextPart() == PartSignature) results.push_back(file.verifySignature());
    return results;
}

const std::uint8_t* signatureFieldsOf(const std::string& image, std::size_t member = 0) {
    auto part = findPart(image, PartSignature, member);
    return reinterpret_cast<const std::uint8_t*>(image.data() + part->dataOffset());
}

TEST(InstallerSignatureTest, CommitmentOfTheDevelopmentKeyHoldsAndAStrangersDoesNot) {
    const std::string image = buildPackage(stavelRecipe(), &developmentKey());
    const std::uint8_t* fields = signatureFieldsOf(image);
    EXPECT_TRUE(verifyCommitment(fields, fields + 20, fields + 36));

    const std::string foreign = buildPackage(stavelRecipe(), &strangerKey());
    const std::uint8_t* foreignFields = signatureFieldsOf(foreign);
    EXPECT_FALSE(verifyCommitment(foreignFields, foreignFields + 20, foreignFields + 36));
    EXPECT_EQ(installerChecks(foreign), std::vector<bool>{false});

    // Unsigned (the builder without a key): the digest alone proves nothing.
    EXPECT_EQ(installerChecks(buildPackage(stavelRecipe())), std::vector<bool>{false});
}

TEST(InstallerSignatureTest, SignedPackageVerifiesThroughThePackageStream) {
    EXPECT_EQ(installerChecks(buildPackage(stavelRecipe(), &developmentKey())), std::vector<bool>{true});
    // The tool's own nonces are random: another signature of the same bytes,
    // just as good.
    SigningKey randomNonce = developmentKey();
    randomNonce.nonceSource = NonceSource::SystemRandom;
    const std::string first = buildPackage(stavelRecipe(), &randomNonce);
    const std::string second = buildPackage(stavelRecipe(), &randomNonce);
    EXPECT_NE(first, second);
    EXPECT_EQ(installerChecks(first), std::vector<bool>{true});
    EXPECT_EQ(installerChecks(second), std::vector<bool>{true});
}

TEST(InstallerSignatureTest, BundleMembersVerifyEachOnItsOwn) {
    const std::string signedBundle =
        bundleOf({buildPackage(stavelRecipe(), &developmentKey()), buildPackage(otherRecipe(), &developmentKey())});
    EXPECT_EQ(installerChecks(signedBundle), (std::vector<bool>{true, true}));

    // Members signed by different keys: each stands or falls alone.
    const std::string mixed =
        bundleOf({buildPackage(stavelRecipe(), &strangerKey()), buildPackage(otherRecipe(), &developmentKey())});
    EXPECT_EQ(installerChecks(mixed), (std::vector<bool>{false, true}));

    // Unsigned members signed in place, as `vpa bundle --key` does.
    std::string resigned = bundleOf({buildPackage(stavelRecipe()), buildPackage(otherRecipe())});
    EXPECT_EQ(installerChecks(resigned), (std::vector<bool>{false, false}));
    EXPECT_EQ(signImage(resigned, &developmentKey()), 2u);
    EXPECT_EQ(installerChecks(resigned), (std::vector<bool>{true, true}));
}

TEST(InstallerSignatureTest, SignaturePartSizes) {
    PackageRecipe cut = stavelRecipe();
    cut.signatureSize = 67;
    EXPECT_EQ(installerChecks(buildPackage(cut, &developmentKey())), std::vector<bool>{false});

    // 100 bytes: checked on the first 68; the rest is skipped, and the next
    // member's range still starts at its own header.
    PackageRecipe padded = stavelRecipe();
    padded.signatureSize = 100;
    std::string paddedImage = buildPackage(padded, &developmentKey());
    EXPECT_EQ(installerChecks(paddedImage), std::vector<bool>{true});
    const std::size_t padding = findPart(paddedImage, PartSignature)->dataOffset() + 80;
    flipByte(paddedImage, padding);
    EXPECT_EQ(installerChecks(paddedImage), std::vector<bool>{true}) << "the padding is not signed";
    EXPECT_EQ(installerChecks(bundleOf({paddedImage, buildPackage(otherRecipe(), &developmentKey())})),
              (std::vector<bool>{true, true}));
}

TEST(InstallerSignatureTest, StreamWithoutHashingCannotBeVerified) {
    EXPECT_EQ(installerChecks(buildPackage(stavelRecipe(), &developmentKey()), false), std::vector<bool>{false});
}

// One damage to a signed package, and whether the installer must still
// accept it.
struct TamperCase {
    const char* name;
    std::function<void(std::string& image)> damage;
    bool stillVerifies;
};

class TamperTest : public ::testing::TestWithParam<TamperCase> {};

TEST_P(TamperTest, SignatureCheck) {
    std::string image = buildPackage(stavelRecipe(), &developmentKey());
    ASSERT_EQ(installerChecks(image), std::vector<bool>{true});
    GetParam().damage(image);
    EXPECT_EQ(installerChecks(image), std::vector<bool>{GetParam().stillVerifies});
}

std::size_t signatureAt(const std::string& image) { return findPart(image, PartSignature)->dataOffset(); }

INSTANTIATE_TEST_SUITE_P(
    Damages, TamperTest,
    ::testing::Values(
        TamperCase{"HeaderPartBit", [](std::string& i) { flipByte(i, findPart(i, PartHeader)->dataOffset() + 2, 0x01); },
                   false},
        TamperCase{"ArchiveBit",
                   [](std::string& i) { flipByte(i, findPart(i, PartFileArchive)->dataOffset() + 7, 0x80); }, false},
        TamperCase{"SignaturePartHeaderBit",
                   [](std::string& i) { flipByte(i, findPart(i, PartSignature)->offset + 2, 0x01); }, false},
        TamperCase{"DigestBit", [](std::string& i) { flipByte(i, signatureAt(i) + 19, 0x01); }, false},
        TamperCase{"CommitmentBit", [](std::string& i) { flipByte(i, signatureAt(i) + 20 + 5, 0x04); }, false},
        TamperCase{"ValueBit", [](std::string& i) { flipByte(i, signatureAt(i) + 36 + 31, 0x20); }, false},
        TamperCase{"ValueLowBit", [](std::string& i) { flipByte(i, signatureAt(i) + 36, 0x01); }, false},
        // An altered package with its digest made to match: only the
        // commitment can catch it.
        TamperCase{"AlteredWithDigestRedone",
                   [](std::string& i) {
                       flipByte(i, findPart(i, PartFileArchive)->dataOffset() + 7, 0x80);
                       Sha1 sha1;
                       const std::size_t start = findPart(i, PartHeader)->offset;
                       sha1.update(i.data() + start, signatureAt(i) - start);
                       std::uint8_t digest[Sha1::DigestSize];
                       ASSERT_TRUE(sha1.digest(digest));
                       std::memcpy(i.data() + signatureAt(i), digest, sizeof digest);
                   },
                   false},
        // The file header lies outside the signed range.
        TamperCase{"FileLengthField", [](std::string& i) { flipByte(i, 6, 0x01); }, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
