#pragma once
// SHA-1 over the platform's digest code (OpenSSL). The package stream feeds
// it the signed bytes; the signature check takes the digest.

#include <cstddef>
#include <cstdint>
#include <memory>

struct SHAstate_st;

namespace velmora {

class Sha1 {
public:
    static constexpr std::size_t DigestSize = 20;

    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    void update(const void* bytes, std::size_t count);

    // Writes the SHA-1 of everything given since construction or the
    // previous digest, then starts afresh. False (and zeros) when the
    // digest code failed; such a digest can never match a signed one.
    bool digest(std::uint8_t out[DigestSize]);

private:
    bool restart();

    std::unique_ptr<SHAstate_st> context_;
    bool ready_ = false;
};

}  // namespace velmora
