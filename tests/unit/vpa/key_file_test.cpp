// vpa's reader of key files.

#include "key_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <regex>
#include <string>

#include "support/dev_key.h"

namespace velmora {

TEST(KeyFile, RefusesMalformedTextWithTheReason) {
    // Four lines of comments, the public key, K[0..7] on line 6, ... H[0..7] on line 14.
    const std::string pub = publicKeyText(developmentPublicKey());
    const std::string key = privateKeyText(developmentKey().privateScalar, developmentPublicKey());
    const std::size_t k0 = pub.find('\n', pub.rfind('#')) + 66, keyAt = key.find('\n', key.rfind('#')) + 66;
    const auto withK0 = [&](const std::string& word) { return std::string(pub).replace(k0, 8, word); };
    const std::string k = pub.substr(k0, 8), last = pub.substr(0, pub.size() - 9);
    const struct { std::string text, error; } rows[] = {
        {"# nothing but a comment\n", "0 tokens; a public key file has 73"}, {key + "00000000\n", "75 tokens"},
        {withK0(k.substr(1)), "line 6: round constant K[0] '" + k.substr(1) + "' has 7 hex digits, expected 8"},
        {last + "123456789\n", "line 14: initial word H[7] '123456789' has 9 hex digits"},
        {withK0(k + " " + k), "line 6: the public key '" + k + "' has 8 hex digits, expected 64"},
        {std::string(key).replace(keyAt, 64, std::string(62, '1') + "00"), "line 6: the public key does not belong"},
        {std::string(64, '0') + "\n" + pub, "line 1: the private scalar makes no usable key"},
        {"\x01\x7f\\" + std::string(30, 'z'), "'\\x01\\x7f\\x5c" + std::string(17, 'z') + "...' is not a hex token"},
    };
    for (const auto& row : rows) {
        std::string error; EXPECT_FALSE(parseKeyText(row.text, error)) << row.error;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.error << ": " << error;
    }
    // Upper case, a comment glued to a token and CR LF line ends are no fault.
    std::string text = "\t" + pub, error;
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto parsed = parseKeyText(std::regex_replace(text.insert(k0 + 72, "#"), std::regex("\n"), "\r\n"), error);
    ASSERT_TRUE(parsed) << error;
    const PublicKeyMaterial &got = parsed->material, &dev = developmentPublicKey();
    EXPECT_TRUE(got.publicKey == dev.publicKey && !std::memcmp(&got.constants, &dev.constants, sizeof dev.constants));
}

}  // namespace velmora
