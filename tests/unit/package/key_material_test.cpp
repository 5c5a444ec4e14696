// The key material built into the installer, and the installer's signature
// check over real packages signed with the development key.

#include "package/key_material.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "package/sha1.h"
#include "package_builder.h"
#include "package_bytes.h"
#include "support/dev_key.h"

namespace velmora {
namespace {

TEST(KeyMaterialTest, BuiltInKeyIsTheDevelopmentKeyAsWrittenInItsFile) {
    // The first token outside comments, as written in the file.
    std::ifstream in(DEV_PUB_FILE);
    std::string line;
    std::string token;
    while (token.empty() && std::getline(in, line)) std::istringstream(line.substr(0, line.find('#'))) >> token;
    std::string builtIn;
    char pair[3];
    for (std::uint8_t byte : BuiltInPublicKey) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(byte));
        builtIn += pair;
    }
    EXPECT_EQ(builtIn, token) << "the tests sign with the development key; configure with INSTALLER_KEY_FILE="
                              << DEV_PUB_FILE;
    // The build's reader and the tool's reader of key files agree.
    EXPECT_EQ(std::memcmp(BuiltInPublicKey, developmentPublicKey().publicKey.data(), 32), 0);
    const PackageHashConstants& tools = developmentPublicKey().constants;
    EXPECT_TRUE(std::equal(std::begin(BuiltInHashConstants.k), std::end(BuiltInHashConstants.k), tools.k));
    EXPECT_TRUE(std::equal(std::begin(BuiltInHashConstants.h), std::end(BuiltInHashConstants.h), tools.h));
}

TEST(KeyMaterialTest, PackageHashIsNotSha256) {
    for (int i = 0; i < 64; ++i) EXPECT_NE(BuiltInHashConstants.k[i], sha256Constants().k[i]) << "K[" << i << "]";
    for (int i = 0; i < 8; ++i) EXPECT_NE(BuiltInHashConstants.h[i], sha256Constants().h[i]) << "H[" << i << "]";
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

std::vector<bool> installerChecks(const std::string& image) { return test::signatureChecks(image, true); }

std::string signedStavel() { return buildPackage(stavelRecipe(), &developmentKey()); }

TEST(InstallerSignature, AcceptsTheDevelopmentKeysSignaturesOnly) {
    EXPECT_EQ(installerChecks(signedStavel()), std::vector<bool>{true});
    EXPECT_EQ(installerChecks(buildPackage(stavelRecipe(), &strangerKey())), std::vector<bool>{false});
    // Without a key the builder writes the digest alone, which proves nothing.
    EXPECT_EQ(installerChecks(buildPackage(stavelRecipe())), std::vector<bool>{false});
    // Bundle members stand or fall each on its own.
    const std::string other = buildPackage(otherRecipe(), &developmentKey());
    EXPECT_EQ(installerChecks(bundleOf({signedStavel(), other})), (std::vector<bool>{true, true}));
    EXPECT_EQ(installerChecks(bundleOf({buildPackage(stavelRecipe(), &strangerKey()), other})),
              (std::vector<bool>{false, true}));
}

// A bit flipped in a signed package, and whether the installer must still
// accept it.
TEST(InstallerSignature, FlippedBits) {
    const struct {
        const char* name;
        std::uint16_t part;
        int offset;  // from the part's data; negative reaches back into its header
        std::uint8_t mask;
        bool verifies;
    } rows[] = {
        {"HeaderPartBit", PartHeader, 2, 0x01, false},       {"ArchiveBit", PartFileArchive, 7, 0x80, false},
        {"SignaturePartHeaderBit", PartSignature, -4, 0x01, false},
        {"DigestBit", PartSignature, 19, 0x01, false},        {"CommitmentBit", PartSignature, 25, 0x04, false},
        {"ValueBit", PartSignature, 67, 0x20, false},         {"ValueLowBit", PartSignature, 36, 0x01, false},
        // The file header (its length field here) lies outside the signed range.
        {"FileLengthField", PartHeader, -8, 0x01, true},
    };
    for (const auto& row : rows) {
        std::string image = signedStavel();
        flipByte(image, findPart(image, row.part)->dataOffset() + row.offset, row.mask);
        EXPECT_EQ(installerChecks(image), std::vector<bool>{row.verifies}) << row.name;
    }
}

// An altered package with its digest made to match: only the commitment can
// catch it.
TEST(InstallerSignature, AlteredWithDigestRedone) {
    std::string image = signedStavel();
    flipByte(image, findPart(image, PartFileArchive)->dataOffset() + 7, 0x80);
    const std::size_t start = findPart(image, PartHeader)->offset;
    const std::size_t signature = findPart(image, PartSignature)->dataOffset();
    Sha1 sha1;
    sha1.update(image.data() + start, signature - start);
    ASSERT_TRUE(sha1.digest(reinterpret_cast<std::uint8_t*>(image.data() + signature)));
    EXPECT_EQ(installerChecks(image), std::vector<bool>{false});
}

TEST(InstallerSignature, RandomNoncesGiveOtherSignaturesJustAsGood) {
    SigningKey randomNonce = developmentKey();
    randomNonce.nonceSource = NonceSource::SystemRandom;
    const std::string first = buildPackage(stavelRecipe(), &randomNonce);
    const std::string second = buildPackage(stavelRecipe(), &randomNonce);
    EXPECT_NE(first, second);
    EXPECT_EQ(installerChecks(first), std::vector<bool>{true});
    EXPECT_EQ(installerChecks(second), std::vector<bool>{true});
}

// Unsigned members signed in place, as `vpa bundle --key` does.
TEST(InstallerSignature, BundleMembersSignedInPlace) {
    std::string bundle = bundleOf({buildPackage(stavelRecipe()), buildPackage(otherRecipe())});
    EXPECT_EQ(signImage(bundle, &developmentKey()), 2u);
    EXPECT_EQ(installerChecks(bundle), (std::vector<bool>{true, true}));
}

}  // namespace
}  // namespace velmora
