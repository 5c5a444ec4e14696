#pragma once
// The development signing key (keys/development.key), with which every test package is really signed, so that
// the installer built with the key's public half accepts it.

#include <cstdio>
#include <cstdlib>

#include "key_file.h"
#include "package_builder.h"

namespace velmora {

// The private key with a derived nonce (the same package is signed the same way in every run); its public half,
// the key and constants the installer is built with; and another usable key with the same constants, for
// packages signed by the wrong signer. Loaded once: a missing or malformed key file ends the test program.
struct DevelopmentKeys {
    SigningKey key, stranger;
    PublicKeyMaterial material;
};

inline const DevelopmentKeys& developmentKeys() {
    static const DevelopmentKeys loaded = [] {
        std::string error;
        auto key = loadSigningKey(DEV_KEY_FILE, error);
        auto material = key ? loadPublicKey(DEV_KEY_FILE, error) : std::nullopt;
        if (!key || !material) {
            std::fprintf(stderr, "the development key cannot be used: %s\n", error.c_str());
            std::abort();
        }
        key->nonceSource = NonceSource::Derived;
        DevelopmentKeys made{*key, *key, *material};
        made.stranger.privateScalar[0] ^= 0x10;
        return made;
    }();
    return loaded;
}
inline const SigningKey& developmentKey() { return developmentKeys().key; }
inline const PublicKeyMaterial& developmentPublicKey() { return developmentKeys().material; }
inline const SigningKey& strangerKey() { return developmentKeys().stranger; }

}  // namespace velmora
