#pragma once
// The development signing key (keys/development.key), with which every test
// package is really signed, so that the installer built with the key's
// public half accepts it.

#include "key_file.h"
#include "package_builder.h"

namespace velmora {

// The private key, with a derived nonce: the same package is signed the
// same way in every run. Loaded once; a missing or malformed key file ends
// the test program with the reason.
const SigningKey& developmentKey();

// Its public half: the key and constants the installer is built with.
const PublicKeyMaterial& developmentPublicKey();

// Another usable key with the same constants, for packages signed by the
// wrong signer.
const SigningKey& strangerKey();

}  // namespace velmora
