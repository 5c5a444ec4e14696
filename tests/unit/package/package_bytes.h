#pragma once
// Byte strings of small package files for the stream and reader tests, and
// the signature checks of a whole image.

#include <openssl/sha.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "package/package_format.h"
#include "package/package_stream.h"
#include "planning/package_record.h"

namespace velmora::test {

inline std::string le16(std::uint16_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

inline std::string le32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((value >> shift) & 0xFF);
    return bytes;
}

// A part whose size field may claim something other than the data's length.
inline std::string partClaiming(std::uint16_t type, std::uint32_t size, std::string_view data) {
    return le16(type) + le32(size) + std::string(data);
}

inline std::string part(std::uint16_t type, std::string_view data) {
    return partClaiming(type, static_cast<std::uint32_t>(data.size()), data);
}

inline std::string packageFile(const std::vector<std::string>& parts, std::uint32_t magic = PackageMagic) {
    std::string body;
    for (const auto& p : parts) body += p;
    return le32(magic) + le32(static_cast<std::uint32_t>(body.size())) + body;
}

inline std::string nameField(std::string_view name) {
    std::string field(name.substr(0, 16));
    field.resize(16, '\0');
    return field;
}

// Data of a header part: name, version, build time, 8 ignored bytes, then
// `extra` (the flags word and anything after it).
inline std::string headerData(std::string_view name, std::uint32_t version, std::uint32_t buildTime = 0,
                              std::string_view extra = {}) {
    return nameField(name) + le32(version) + le32(buildTime) + std::string(8, '\x5A') + std::string(extra);
}

inline std::string headerPart(std::string_view name, std::uint32_t version, std::uint32_t flags = 0) {
    return part(PartHeader, headerData(name, version, 1000, le32(flags)));
}

struct Entry {
    std::string name;
    std::uint32_t min = 0;
    std::uint32_t max = 0;
    std::int32_t priority = 0;
};

inline std::string entryBytes(const Entry& e) {
    return nameField(e.name) + le32(e.min) + le32(0xDEADBEEF) + le32(e.max) +
           le32(static_cast<std::uint32_t>(e.priority));
}

inline std::string dependencyData(const std::vector<Entry>& entries) {
    std::string data = le16(static_cast<std::uint16_t>(entries.size()));
    for (const auto& e : entries) data += entryBytes(e);
    return data;
}

// A dependency list as text, "name min max priority;" per entry.
inline std::string listText(const std::vector<Dependency>& list) {
    std::string text;
    for (const Dependency& d : list) {
        char numbers[40];
        std::snprintf(numbers, sizeof numbers, " %x %x %d;", static_cast<unsigned>(d.min), static_cast<unsigned>(d.max),
                      static_cast<int>(d.priority));
        text += d.name + numbers;
    }
    return text;
}

inline std::string sha1Of(std::string_view bytes) {
    unsigned char out[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

inline std::string digestText(const std::uint8_t* digest) {
    return std::string(reinterpret_cast<const char*>(digest), 20);
}

// Each signature part of the image, read through a hashing package file:
// with verify the installer's whole check against its built-in key,
// otherwise the digest field alone.
inline std::vector<bool> signatureChecks(const std::string& image, bool verify) {
    std::istringstream in(image);
    PackageFile file(in, true);
    file.want(PartSignature);
    std::vector<bool> results;
    std::uint8_t signature[SignatureSize];
    while (file.nextPart() == PartSignature) {
        results.push_back(verify ? file.verifySignature() : file.packageBuffer().readSignature(signature));
    }
    return results;
}

}  // namespace velmora::test
