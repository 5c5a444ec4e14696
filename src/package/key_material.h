#pragma once
// The key material the installer trusts: the signer's public key and the
// package-hash constants. Both are fixed into the build from the key file
// named by INSTALLER_KEY_FILE; the definitions are generated at configure
// time (generated/key_material.cpp), never written by hand; there the key is
// constexpr, and static_asserts refuse a key that is no key (key_check.h).

#include <cstdint>

#include "package/package_hash.h"

namespace velmora {

// The u-coordinate of the signer's public point, little-endian.
extern const std::uint8_t BuiltInPublicKey[32];

extern const PackageHashConstants BuiltInHashConstants;

}  // namespace velmora
