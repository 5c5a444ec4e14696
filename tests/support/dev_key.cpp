#include "support/dev_key.h"

#include <cstdio>
#include <cstdlib>

namespace velmora {
namespace {

struct DevelopmentKeys {
    SigningKey key, stranger;
    PublicKeyMaterial material;
};

// Loaded once; without a usable key no test can run.
const DevelopmentKeys& keys() {
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

}  // namespace

const SigningKey& developmentKey() { return keys().key; }
const PublicKeyMaterial& developmentPublicKey() { return keys().material; }
const SigningKey& strangerKey() { return keys().stranger; }

}  // namespace velmora
