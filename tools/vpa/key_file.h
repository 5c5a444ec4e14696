#pragma once
// Key files of the package signing key.
//
// Both kinds are text: '#' starts a comment to the end of its line;
// otherwise whitespace-separated hex tokens.
//   public key file (.pub), 73 tokens: the public key (64 hex digits, the
//     32 bytes byte 0 first), the round constants K[0..63] and the initial
//     words H[0..7] of the package hash (8 hex digits each, ordinary hex
//     numbers). The installer build reads the same format.
//   private key file (.key), 74 tokens: the private scalar (64 hex digits,
//     little-endian, byte 0 first), then the 73 tokens of the public file,
//     so that the private key carries the constants it signs with.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "package/package_hash.h"
#include "package_builder.h"

namespace velmora {

inline constexpr std::size_t PublicKeyTokens = 73;
inline constexpr std::size_t PrivateKeyTokens = 74;

// What the installer needs to verify: the public key and the constants.
struct PublicKeyMaterial {
    std::array<std::uint8_t, 32> publicKey{};
    PackageHashConstants constants{};
};

// The contents of either kind of key file; privateScalar is set for a
// private key file, and then publicKey belongs to it.
struct KeyFileContents {
    std::optional<std::array<std::uint8_t, 32>> privateScalar;
    PublicKeyMaterial material;
};

// Parses a key file's text, telling the kind by the number of tokens.
// Nothing on a malformed text or a public key that is no key
// (package/key_check.h), with the line and the fault in error.
std::optional<KeyFileContents> parseKeyText(std::string_view text, std::string& error);

// The texts the tool writes, comments first.
std::string publicKeyText(const PublicKeyMaterial& material);
std::string privateKeyText(const std::array<std::uint8_t, 32>& privateScalar, const PublicKeyMaterial& material);

// A private key file, ready to sign with (its nonce source is the system's
// random source). Errors name the path.
std::optional<SigningKey> loadSigningKey(const std::string& path, std::string& error);

// The public half of either kind of key file. Errors name the path.
std::optional<PublicKeyMaterial> loadPublicKey(const std::string& path, std::string& error);

// The public half that belongs to a private scalar; nothing for a scalar
// that makes no usable key. privateScalar is replaced by the form the
// signer keeps (reduced, with an even public point).
std::optional<std::array<std::uint8_t, 32>> publicKeyOf(std::array<std::uint8_t, 32>& privateScalar);

}  // namespace velmora
