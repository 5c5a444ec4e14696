#include "key_file.h"

#include <cstdio>
#include <vector>

#include "directory_entries.h"
#include "package/key_check.h"
#include "package/signature_signer.h"

namespace velmora {

namespace {

struct Token {
    std::string_view text;
    std::size_t line = 0;
};

// The same blanks as the build's reader of key files.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string lineText(std::size_t line) { return "line " + std::to_string(line); }

// A token fit for a terminal: a binary file given as a key file would
// otherwise put its bytes there.
std::string printable(std::string_view token) {
    constexpr std::size_t shown = 20;
    std::string text;
    for (std::size_t i = 0; i < token.size() && i < shown; ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(c));
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return token.size() > shown ? text + "..." : text;
}

// Splits the text into tokens outside comments; nothing when a token holds
// anything but hex digits.
std::optional<std::vector<Token>> tokenize(std::string_view text, std::string& error) {
    std::vector<Token> tokens;
    std::size_t line = 1;
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '#') {
            while (at < text.size() && text[at] != '\n') ++at;
        } else if (isBlank(c)) {
            if (c == '\n') ++line;
            ++at;
        } else {
            std::size_t end = at;
            bool hex = true;
            while (end < text.size() && !isBlank(text[end]) && text[end] != '#') {
                if (hexValue(text[end]) < 0) hex = false;
                ++end;
            }
            Token token{text.substr(at, end - at), line};
            if (!hex) {
                error = lineText(line) + ": '" + printable(token.text) + "' is not a hex token";
                return std::nullopt;
            }
            tokens.push_back(token);
            at = end;
        }
    }
    return tokens;
}

// What the token at index is, for messages; firstWord is the index of K[0].
std::string tokenName(std::size_t index, std::size_t firstWord) {
    if (index + 1 == firstWord) return "the public key";
    if (index < firstWord) return "the private scalar";
    const std::size_t word = index - firstWord;
    if (word < 64) return "round constant K[" + std::to_string(word) + "]";
    return "initial word H[" + std::to_string(word - 64) + "]";
}

bool checkLength(const Token& token, std::size_t want, const std::string& name, std::string& error) {
    if (token.text.size() == want) return true;
    error = lineText(token.line) + ": " + name + " '" + std::string(token.text) + "' has " +
            std::to_string(token.text.size()) + " hex digits, expected " + std::to_string(want);
    return false;
}

// 64 hex digits, two to a byte, byte 0 first.
std::array<std::uint8_t, 32> decodeBytes(std::string_view text) {
    std::array<std::uint8_t, 32> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(hexValue(text[2 * i]) << 4 | hexValue(text[2 * i + 1]));
    return bytes;
}

std::uint32_t decodeWord(std::string_view text) {
    std::uint32_t word = 0;
    for (char c : text) word = word << 4 | static_cast<std::uint32_t>(hexValue(c));
    return word;
}

void appendBytes(std::string& out, const std::array<std::uint8_t, 32>& bytes) {
    char pair[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(byte));
        out += pair;
    }
    out += '\n';
}

void appendWords(std::string& out, const std::uint32_t* words, std::size_t count) {
    char word[10];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(words[i]));
        out += word;
        out += (i % 8 == 7 || i + 1 == count) ? '\n' : ' ';
    }
}

std::string materialTokens(const PublicKeyMaterial& material) {
    std::string text;
    appendBytes(text, material.publicKey);
    appendWords(text, material.constants.k, 64);
    appendWords(text, material.constants.h, 8);
    return text;
}

std::optional<KeyFileContents> loadKeyFile(const std::string& path, std::string& error) {
    std::string text;
    if (!readWholeFile(path, text, error)) return std::nullopt;
    auto contents = parseKeyText(text, error);
    if (!contents) error = path + ": " + error;
    return contents;
}

}  // namespace

std::optional<std::array<std::uint8_t, 32>> publicKeyOf(std::array<std::uint8_t, 32>& privateScalar) {
    std::array<std::uint8_t, 32> publicKey{};
    std::array<std::uint8_t, 32> adjusted{};
    if (!derivePublicKey(privateScalar.data(), publicKey.data(), adjusted.data())) return std::nullopt;
    privateScalar = adjusted;
    return publicKey;
}

std::optional<KeyFileContents> parseKeyText(std::string_view text, std::string& error) {
    auto tokens = tokenize(text, error);
    if (!tokens) return std::nullopt;
    if (tokens->size() != PublicKeyTokens && tokens->size() != PrivateKeyTokens) {
        error = std::to_string(tokens->size()) + " tokens; a public key file has 73 (public key, 64 round " +
                "constants, 8 initial words), a private key file 74 (private scalar first)";
        return std::nullopt;
    }
    const std::size_t firstWord = tokens->size() - 72;
    for (std::size_t i = 0; i < tokens->size(); ++i) {
        if (!checkLength((*tokens)[i], i < firstWord ? 64 : 8, tokenName(i, firstWord), error)) return std::nullopt;
    }

    KeyFileContents contents;
    const Token& publicToken = (*tokens)[firstWord - 1];
    contents.material.publicKey = decodeBytes(publicToken.text);
    if (const KeyFault fault = publicKeyFault(contents.material.publicKey); fault != KeyFault::None) {
        error = lineText(publicToken.line) + ": the public key " + keyFaultText(fault) +
                "; make a new key with 'vpa keygen'";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 64; ++i) contents.material.constants.k[i] = decodeWord((*tokens)[firstWord + i].text);
    for (std::size_t i = 0; i < 8; ++i) contents.material.constants.h[i] = decodeWord((*tokens)[firstWord + 64 + i].text);
    if (firstWord == 2) {
        std::array<std::uint8_t, 32> scalar = decodeBytes((*tokens)[0].text);
        auto derived = publicKeyOf(scalar);
        if (!derived) {
            error = lineText((*tokens)[0].line) + ": the private scalar makes no usable key";
            return std::nullopt;
        }
        if (*derived != contents.material.publicKey) {
            error = lineText(publicToken.line) + ": the public key does not belong to the private scalar";
            return std::nullopt;
        }
        contents.privateScalar = scalar;
    }
    return contents;
}

std::string publicKeyText(const PublicKeyMaterial& material) {
    return "# Velmora package signing key, public half: the key and the package-hash\n"
           "# constants an installer build trusts (cmake -DINSTALLER_KEY_FILE=THIS_FILE).\n"
           "# Hex tokens: the public key (32 bytes, byte 0 first), the round constants\n"
           "# K[0..63], the initial words H[0..7].\n" +
           materialTokens(material);
}

std::string privateKeyText(const std::array<std::uint8_t, 32>& privateScalar, const PublicKeyMaterial& material) {
    std::string text =
        "# Velmora package signing key, PRIVATE half: whoever holds this file can sign\n"
        "# packages that installers built with its public half accept. Keep it secret.\n"
        "# Hex tokens ('vpa help keygen'): the private scalar (32 bytes, little-endian,\n"
        "# byte 0 first), then the public key, K[0..63] and H[0..7] as in the .pub file.\n";
    appendBytes(text, privateScalar);
    return text + materialTokens(material);
}

std::optional<SigningKey> loadSigningKey(const std::string& path, std::string& error) {
    auto contents = loadKeyFile(path, error);
    if (!contents) return std::nullopt;
    if (!contents->privateScalar) {
        error = path + ": a public key file; signing needs the private key file (.key)";
        return std::nullopt;
    }
    SigningKey key;
    key.privateScalar = *contents->privateScalar;
    key.constants = contents->material.constants;
    return key;
}

std::optional<PublicKeyMaterial> loadPublicKey(const std::string& path, std::string& error) {
    auto contents = loadKeyFile(path, error);
    if (!contents) return std::nullopt;
    return contents->material;
}

}  // namespace velmora
