// OpenSSL's direct SHA-1 functions rather than its EVP interface: the same
// block code, but EVP's first use loads the provider machinery, which adds
// about 2 MiB to the installer's resident memory on a board that has little.
#define OPENSSL_API_COMPAT 0x10100000L
#include "package/sha1.h"

#include <openssl/sha.h>

#include <cstring>
#include <new>

namespace velmora {

Sha1::Sha1() : context_(new (std::nothrow) SHA_CTX) { restart(); }

Sha1::~Sha1() = default;

bool Sha1::restart() {
    ready_ = context_ != nullptr && SHA1_Init(context_.get()) == 1;
    return ready_;
}

void Sha1::update(const void* bytes, std::size_t count) {
    // A failed update poisons the running digest rather than silently
    // dropping bytes from the signed range.
    if (ready_ && count > 0 && SHA1_Update(context_.get(), bytes, count) != 1) ready_ = false;
}

bool Sha1::digest(std::uint8_t out[DigestSize]) {
    bool ok = ready_ && SHA1_Final(out, context_.get()) == 1;
    if (!ok) std::memset(out, 0, DigestSize);
    if (!restart()) ok = false;
    return ok;
}

}  // namespace velmora
