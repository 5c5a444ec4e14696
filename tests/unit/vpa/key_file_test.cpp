// The tool's reader and writer of key files.

#include "key_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "support/dev_key.h"

namespace velmora {
namespace {

// Replaces the first occurrence of from in text.
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

// The tool's files: four comment lines, the public key on line 5, K[0..7]
// on line 6.
std::string devPublic() { return publicKeyText(developmentPublicKey()); }
std::string devPrivate() { return privateKeyText(developmentKey().privateScalar, developmentPublicKey()); }
std::string k(int i) { return hexWord(developmentPublicKey().constants.k[i]); }
std::string h(int i) { return hexWord(developmentPublicKey().constants.h[i]); }

TEST(KeyFileTest, WrittenFilesReadBackAsTheSameKey) {
    const PublicKeyMaterial& material = developmentPublicKey();
    std::string error;
    auto publicHalf = parseKeyText(devPublic(), error);
    ASSERT_TRUE(publicHalf) << error;
    EXPECT_FALSE(publicHalf->privateScalar);
    EXPECT_EQ(publicHalf->material.publicKey, material.publicKey);
    EXPECT_EQ(publicHalf->material.constants.k[63], material.constants.k[63]);
    EXPECT_EQ(publicHalf->material.constants.h[0], material.constants.h[0]);

    auto privateHalf = parseKeyText(devPrivate(), error);
    ASSERT_TRUE(privateHalf) << error;
    ASSERT_TRUE(privateHalf->privateScalar);
    EXPECT_EQ(*privateHalf->privateScalar, developmentKey().privateScalar);
    EXPECT_EQ(privateHalf->material.publicKey, material.publicKey);
}

TEST(KeyFileTest, CommentsBlanksAndCaseDoNotMatter) {
    // K[7] ends its line: a comment glued to it takes nothing else away.
    std::string upper = k(7);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string crlf;
    for (char c : replaceToken(devPublic(), k(7), upper + "# a comment glued to a token")) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    std::string error;
    auto parsed = parseKeyText("\t" + crlf, error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->material.constants.k[7], developmentPublicKey().constants.k[7]);
    EXPECT_EQ(parsed->material.constants.h[7], developmentPublicKey().constants.h[7]);
}

TEST(KeyFileTest, MalformedTextIsRefusedWithTheReason) {
    std::string publicHex;
    for (std::uint8_t byte : developmentPublicKey().publicKey) publicHex += hexWord(byte).substr(6);
    const std::string lastCut = devPublic().substr(0, devPublic().size() - 1);
    const struct {
        const char* name;
        std::string text;
        std::string error;
    } rows[] = {
        {"Empty", "# nothing but a comment\n", "0 tokens; a public key file has 73"},
        {"OneTokenShort", lastCut.substr(0, lastCut.find_last_of(" \n")), "72 tokens"},
        {"OneTokenTooMany", devPrivate() + "00000000\n", "75 tokens"},
        {"NotHex", replaceToken(devPublic(), k(3), "xyz12345"), "line 6: 'xyz12345' is not a hex token"},
        {"HexPrefix", replaceToken(devPublic(), k(1), "0x" + k(1)), "is not a hex token"},
        {"ShortWord", replaceToken(devPublic(), k(3), k(3).substr(1)),
         "line 6: round constant K[3] '" + k(3).substr(1) + "' has 7 hex digits, expected 8"},
        {"LongInitialWord", replaceToken(devPublic(), h(7), h(7) + "0"), "initial word H[7]"},
        {"ExtraWordReadsAsPrivate", replaceToken(devPublic(), k(0), k(0) + " " + k(0)),
         "line 6: the public key '" + k(0) + "' has 8 hex digits, expected 64"},
        {"PublicHalfOfAnotherKey", replaceToken(devPrivate(), publicHex, std::string(62, '1') + "00"),
         "line 6: the public key does not belong to the private scalar"},
        {"BinaryTokenShownEscapedAndCut", std::string("\x7f" "ELF\x01\x00\x03", 7) + std::string(30, 'z'),
         "line 1: '\\x7fELF\\x01\\x00\\x03" + std::string(13, 'z') + "...' is not a hex token"},
        {"ZeroScalar", std::string(64, '0') + "\n" + devPublic(), "line 1: the private scalar makes no usable key"},
    };
    for (const auto& row : rows) {
        std::string error;
        EXPECT_FALSE(parseKeyText(row.text, error)) << row.name;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.name << ": " << error;
    }
}

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
