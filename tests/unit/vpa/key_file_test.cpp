// The tool's reader and writer of key files.

#include "key_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "support/dev_key.h"

namespace velmora {
namespace {

// Replaces the first whole-token occurrence of from in text.
std::string replaceToken(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string hexWord(std::uint32_t word) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(word));
    return text;
}

TEST(KeyFileTest, WrittenFilesReadBackAsTheSameKey) {
    const PublicKeyMaterial& material = developmentPublicKey();
    std::array<std::uint8_t, 32> scalar = developmentKey().privateScalar;
    std::string error;

    auto publicHalf = parseKeyText(publicKeyText(material), error);
    ASSERT_TRUE(publicHalf) << error;
    EXPECT_FALSE(publicHalf->privateScalar);
    EXPECT_EQ(publicHalf->material.publicKey, material.publicKey);
    EXPECT_EQ(publicHalf->material.constants.k[63], material.constants.k[63]);
    EXPECT_EQ(publicHalf->material.constants.h[0], material.constants.h[0]);

    auto privateHalf = parseKeyText(privateKeyText(scalar, material), error);
    ASSERT_TRUE(privateHalf) << error;
    ASSERT_TRUE(privateHalf->privateScalar);
    EXPECT_EQ(*privateHalf->privateScalar, scalar);
    EXPECT_EQ(privateHalf->material.publicKey, material.publicKey);
}

TEST(KeyFileTest, CommentsBlanksAndCaseDoNotMatter) {
    std::string text = publicKeyText(developmentPublicKey());
    // K[7] ends its line: a comment glued to it takes nothing else away.
    const std::string k7 = hexWord(developmentPublicKey().constants.k[7]);
    std::string upper = k7;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    text = replaceToken(text, k7, upper + "# a comment glued to a token");
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string error;
    auto parsed = parseKeyText("\t" + crlf, error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->material.constants.k[7], developmentPublicKey().constants.k[7]);
    EXPECT_EQ(parsed->material.constants.h[7], developmentPublicKey().constants.h[7]);
}

struct MalformedKey {
    const char* name;
    std::string text;
    std::string error;
};

class MalformedKeyTest : public ::testing::TestWithParam<MalformedKey> {};

TEST_P(MalformedKeyTest, IsRefusedWithTheReason) {
    std::string error;
    EXPECT_FALSE(parseKeyText(GetParam().text, error));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

// The tool's files: four comment lines, the public key on line 5, K[0..7]
// on line 6.
std::string devPublic() { return publicKeyText(developmentPublicKey()); }
std::string devPrivate() { return privateKeyText(developmentKey().privateScalar, developmentPublicKey()); }
std::string k(int i) { return hexWord(developmentPublicKey().constants.k[i]); }

std::string publicHex() {
    std::string text;
    for (std::uint8_t byte : developmentPublicKey().publicKey) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(byte));
        text += pair;
    }
    return text;
}

std::string withoutLastToken(const std::string& text) {
    std::string cut = text.substr(0, text.size() - 1);  // the final newline
    return cut.substr(0, cut.find_last_of(" \n"));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedKeyTest,
    ::testing::Values(
        MalformedKey{"Empty", "# nothing but a comment\n", "0 tokens; a public key file has 73"},
        MalformedKey{"OneTokenShort", withoutLastToken(devPublic()), "72 tokens"},
        MalformedKey{"OneTokenTooMany", devPrivate() + "00000000\n", "75 tokens"},
        MalformedKey{"NotHex", replaceToken(devPublic(), k(3), "xyz12345"), "line 6: 'xyz12345' is not a hex token"},
        MalformedKey{"HexPrefix", replaceToken(devPublic(), k(1), "0x" + k(1)), "is not a hex token"},
        MalformedKey{"ShortWord", replaceToken(devPublic(), k(3), k(3).substr(1)),
                     "line 6: round constant K[3] '" + k(3).substr(1) + "' has 7 hex digits, expected 8"},
        MalformedKey{"LongInitialWord",
                     replaceToken(devPublic(), hexWord(developmentPublicKey().constants.h[7]),
                                  hexWord(developmentPublicKey().constants.h[7]) + "0"),
                     "initial word H[7]"},
        MalformedKey{"ExtraWordReadsAsPrivate", replaceToken(devPublic(), k(0), k(0) + " " + k(0)),
                     "line 6: the public key '" + k(0) + "' has 8 hex digits, expected 64"},
        MalformedKey{"PublicHalfOfAnotherKey",
                     replaceToken(devPrivate(), publicHex(), std::string(62, '1') + "00"),
                     "line 6: the public key does not belong to the private scalar"},
        MalformedKey{"ZeroScalar",
                     std::string(64, '0') + "\n" + devPublic(),
                     "line 1: the private scalar makes no usable key"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeyFileTest, LoadingNamesThePathAndTheKindNeeded) {
    std::string error;
    EXPECT_FALSE(loadSigningKey(DEV_PUB_FILE, error));
    EXPECT_EQ(error, std::string(DEV_PUB_FILE) + ": a public key file; signing needs the private key file (.key)");

    EXPECT_FALSE(loadPublicKey("/nonexistent/key.pub", error));
    EXPECT_EQ(error.rfind("/nonexistent/key.pub", 0), 0u) << error;

    // The public half of a private key file is its public key.
    auto fromPrivate = loadPublicKey(DEV_KEY_FILE, error);
    ASSERT_TRUE(fromPrivate) << error;
    EXPECT_EQ(fromPrivate->publicKey, developmentPublicKey().publicKey);
}

}  // namespace
}  // namespace velmora
