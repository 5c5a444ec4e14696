#pragma once
// Package files written byte by byte, for the tests of the readers.

#include <openssl/sha.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "package/package_format.h"
#include "package/package_stream.h"

namespace velmora::test {

inline std::string le16(std::uint16_t v) { return {char(v & 0xFF), char(v >> 8)}; }
inline std::string le32(std::uint32_t v) { return le16(std::uint16_t(v)) + le16(std::uint16_t(v >> 16)); }

// A part whose size field may claim something other than the data's length.
inline std::string part(std::uint16_t type, std::string_view data, std::int64_t claim = -1) {
    return le16(type) + le32(std::uint32_t(claim < 0 ? data.size() : claim)) + std::string(data);
}

inline std::string packageFile(const std::vector<std::string>& parts, std::uint32_t magic = PackageMagic) {
    std::string body;
    for (const auto& p : parts) body += p;
    return le32(magic) + le32(std::uint32_t(body.size())) + body;
}

// Header part data: name (16 bytes), version, build time, 8 ignored bytes, extra.
inline std::string headerData(std::string name, std::uint32_t version = 1, std::string_view extra = {}) {
    name.resize(16, '\0');
    return name + le32(version) + le32(1000) + std::string(8, 'Z') + std::string(extra);
}

inline std::string sha1Of(std::string_view bytes) {
    unsigned char out[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

}  // namespace velmora::test
