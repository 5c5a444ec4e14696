#include "package/signature_check.h"

#include "package/key_material.h"
#include "package/signature_verifier.h"

namespace velmora {

TrustedKey builtInKey() { return {BuiltInPublicKey, &BuiltInHashConstants}; }

bool verifyCommitment(const std::uint8_t digest[20], const std::uint8_t r[16], const std::uint8_t v[32]) {
    return verifyCommitment(digest, r, v, BuiltInPublicKey, BuiltInHashConstants);
}

}  // namespace velmora
