#include "package/sha1.h"

#include <openssl/evp.h>

#include <cstring>

namespace velmora {

Sha1::Sha1() : context_(EVP_MD_CTX_new()) { restart(); }

Sha1::~Sha1() { EVP_MD_CTX_free(context_); }

bool Sha1::restart() {
    ready_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_sha1(), nullptr) == 1;
    return ready_;
}

void Sha1::update(const void* bytes, std::size_t count) {
    // A failed update poisons the running digest rather than silently
    // dropping bytes from the signed range.
    if (ready_ && count > 0 && EVP_DigestUpdate(context_, bytes, count) != 1) ready_ = false;
}

bool Sha1::digest(std::uint8_t out[DigestSize]) {
    unsigned int length = 0;
    bool ok = ready_ && EVP_DigestFinal_ex(context_, out, &length) == 1 && length == DigestSize;
    if (!ok) std::memset(out, 0, DigestSize);
    if (!restart()) ok = false;
    return ok;
}

}  // namespace velmora
