#include "support/dev_key.h"

#include <cstdio>
#include <cstdlib>

namespace velmora {

namespace {

struct DevelopmentKeys {
    SigningKey key;
    PublicKeyMaterial material;
    SigningKey stranger;
};

const DevelopmentKeys& keys() {
    static const DevelopmentKeys loaded = [] {
        DevelopmentKeys made;
        std::string error;
        auto key = loadSigningKey(DEV_KEY_FILE, error);
        auto material = key ? loadPublicKey(DEV_KEY_FILE, error) : std::nullopt;
        if (!key || !material) {
            std::fprintf(stderr, "the development key cannot be used: %s\n", error.c_str());
            std::abort();
        }
        made.key = *key;
        made.key.nonceSource = NonceSource::Derived;
        made.material = *material;
        made.stranger = made.key;
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
