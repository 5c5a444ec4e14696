#include "package_builder.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "package/byte_order.h"
#include "package/sha1.h"
#include "package/signature_signer.h"
#include "system_random.h"

namespace velmora {

namespace {

void appendLe16(std::string& out, std::uint16_t value) {
    std::uint8_t bytes[2];
    storeLe16(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void appendLe32(std::string& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    storeLe32(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void storeLe32At(std::string& image, std::size_t offset, std::uint32_t value) {
    std::uint8_t bytes[4];
    storeLe32(bytes, value);
    std::memcpy(image.data() + offset, bytes, sizeof bytes);
}

// Names are zero-padded to 16 bytes; a 16-byte name has no terminator.
void appendName(std::string& out, const std::string& name) {
    std::string field = name.substr(0, PackageNameSize);
    field.resize(PackageNameSize, '\0');
    out += field;
}

void addOptionalText(std::vector<Part>& parts, std::uint16_t type, const std::optional<std::string>& text) {
    if (text) parts.push_back({type, *text});
}

void addList(std::vector<Part>& parts, std::uint16_t type, const std::vector<Dependency>& list) {
    if (!list.empty()) parts.push_back({type, encodeDependencyList(list)});
}

void insertExtraParts(std::vector<Part>& parts, const std::vector<ExtraPart>& extras) {
    for (const ExtraPart& extra : extras) {
        auto at = std::find_if(parts.begin(), parts.end(), [&](const Part& p) { return p.type == extra.before; });
        parts.insert(at, Part{extra.type, extra.data});
    }
}

// The bundle's or package's header and metadata parts, which both kinds
// share.
std::vector<Part> metadataParts(const PackageRecipe& recipe, std::uint16_t headerType) {
    std::vector<Part> parts;
    parts.push_back({headerType, encodePackageHeader(recipe)});
    addOptionalText(parts, PartText24, recipe.text24);
    addOptionalText(parts, PartArchitecture, recipe.arch);
    addOptionalText(parts, PartText2, recipe.text2);
    addOptionalText(parts, PartNote, recipe.note);
    addList(parts, PartDependencies, recipe.deps);
    addList(parts, PartProvides, recipe.provides);
    addList(parts, PartConflicts, recipe.conflicts);
    if (recipe.keepImage) parts.push_back({PartKeepImage, recipe.keepImageData});
    return parts;
}

}  // namespace

FileEntry regularFile(std::string path, std::string content, std::uint16_t permissions,
                      std::uint8_t processorGroup) {
    return {static_cast<std::uint16_t>(0100000 | (permissions & 07777)), processorGroup, std::move(path),
            std::move(content)};
}

FileEntry directoryEntry(std::string path, std::uint16_t permissions) {
    return {static_cast<std::uint16_t>(0040000 | (permissions & 07777)), 0, std::move(path), {}};
}

FileEntry symlinkEntry(std::string path, std::string target) {
    return {0120777, 0, std::move(path), std::move(target)};
}

std::string encodePackageHeader(const PackageRecipe& recipe) {
    std::string data;
    appendName(data, recipe.name);
    appendLe32(data, recipe.version);
    appendLe32(data, recipe.buildTime);
    data.append(8, '\0');
    appendLe32(data, recipe.flags);
    data.resize(recipe.headerSize, '\0');
    return data;
}

std::string encodeDependencyList(const std::vector<Dependency>& list) {
    return encodeDependencyList(list, static_cast<std::uint16_t>(list.size()));
}

std::string encodeDependencyList(const std::vector<Dependency>& list, std::uint16_t count) {
    std::string data;
    appendLe16(data, count);
    for (const Dependency& entry : list) {
        appendName(data, entry.name);
        appendLe32(data, entry.min);
        appendLe32(data, 0);
        appendLe32(data, entry.max);
        appendLe32(data, static_cast<std::uint32_t>(entry.priority));
    }
    return data;
}

std::string encodeArchiveEntries(const std::vector<FileEntry>& files) {
    std::string data;
    for (const FileEntry& file : files) {
        appendLe16(data, file.mode);
        data.append(21, '\0');
        data += static_cast<char>(file.processorGroup);
        appendLe32(data, static_cast<std::uint32_t>(file.content.size()));
        appendLe16(data, static_cast<std::uint16_t>(file.path.size()));
        data += file.path;
        data += file.content;
    }
    return data;
}

std::optional<std::string> zlibCompress(const std::string& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    int result = compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                           reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                           Z_BEST_COMPRESSION);
    if (result != Z_OK) return std::nullopt;
    out.resize(size);
    return out;
}

bool signatureFields(const std::uint8_t digest[20], const SigningKey* key,
                     std::array<std::uint8_t, SignatureSize>& fields) {
    fields.fill(0);
    std::copy(digest, digest + Sha1::DigestSize, fields.begin());
    if (key == nullptr) return true;
    std::uint8_t* r = fields.data() + Sha1::DigestSize;
    std::uint8_t* v = r + 16;
    // A nonce that is zero modulo the group order cannot sign; the next
    // attempt draws another (the counter moves a derived nonce on).
    for (std::uint8_t counter = 0; counter < 16; ++counter) {
        std::uint8_t nonce[32];
        if (key->nonceSource == NonceSource::SystemRandom) {
            if (!systemRandomBytes(nonce, sizeof nonce)) break;
        } else {
            // A hash of the secret and the digest, as RFC 6979 does with
            // HMAC: secret, and never the same for two digests.
            std::uint8_t seed[32 + Sha1::DigestSize + 1];
            std::copy(key->privateScalar.begin(), key->privateScalar.end(), seed);
            std::copy(digest, digest + Sha1::DigestSize, seed + 32);
            seed[sizeof seed - 1] = counter;
            unsigned int nonceSize = 0;
            if (EVP_Digest(seed, sizeof seed, nonce, &nonceSize, EVP_sha256(), nullptr) != 1) break;
        }
        if (signDigest(digest, key->privateScalar.data(), nonce, key->constants, r, v)) return true;
    }
    std::fill(fields.begin() + Sha1::DigestSize, fields.end(), 0);
    return false;
}

std::vector<Part> packageParts(const PackageRecipe& recipe) {
    std::vector<Part> parts = metadataParts(recipe, PartHeader);
    if (recipe.withArchive) {
        // A failed compression leaves the part empty; zlib fails only
        // without memory, and then an empty archive is as good as any.
        parts.push_back({PartFileArchive, zlibCompress(encodeArchiveEntries(recipe.files)).value_or(std::string())});
    }
    if (recipe.withSignature) parts.push_back({PartSignature, std::string(recipe.signatureSize, '\0')});
    insertExtraParts(parts, recipe.extraParts);
    return parts;
}

std::string assembleImage(std::uint32_t magic, const std::vector<Part>& parts) {
    std::string image;
    appendLe32(image, magic);
    appendLe32(image, 0);
    for (const Part& part : parts) {
        appendLe16(image, part.type);
        appendLe32(image, static_cast<std::uint32_t>(part.data.size()));
        image += part.data;
    }
    fixFileLength(image);
    return image;
}

std::string buildPackage(const PackageRecipe& recipe, const SigningKey* key) {
    std::string image = assembleImage(recipe.overlay ? OverlayMagic : PackageMagic, packageParts(recipe));
    signImage(image, key);
    return image;
}

std::string buildBundle(const BundleRecipe& recipe) {
    std::vector<Part> parts = metadataParts(recipe.bundle, PartBundleHeader);
    if (!recipe.disabledMembers.empty()) {
        std::vector<Dependency> names;
        for (const std::string& name : recipe.disabledMembers) names.push_back(Dependency{name, 0, 0, 0});
        parts.push_back({PartDisabledMembers, encodeDependencyList(names)});
    }
    insertExtraParts(parts, recipe.bundle.extraParts);
    std::string image = assembleImage(recipe.bundle.overlay ? OverlayMagic : PackageMagic, parts);
    for (const std::string& member : recipe.members) {
        if (member.size() > FileHeaderSize) image.append(member, FileHeaderSize, std::string::npos);
    }
    fixFileLength(image);
    return image;
}

std::vector<PartLocation> locateParts(const std::string& image) {
    std::vector<PartLocation> parts;
    std::size_t offset = FileHeaderSize;
    while (image.size() >= offset + PartHeaderSize) {
        const auto* header = reinterpret_cast<const std::uint8_t*>(image.data() + offset);
        PartLocation part{loadLe16(header), offset, loadLe32(header + 2)};
        parts.push_back(part);
        if (part.size > image.size() - part.dataOffset()) break;
        offset = part.dataOffset() + part.size;
    }
    return parts;
}

std::optional<PartLocation> findPart(const std::string& image, std::uint16_t type, std::size_t occurrence) {
    for (const PartLocation& part : locateParts(image)) {
        if (part.type == type && occurrence-- == 0) return part;
    }
    return std::nullopt;
}

std::size_t signImage(std::string& image, const SigningKey* key) {
    std::size_t signedCount = 0;
    std::optional<std::size_t> rangeStart;
    for (const PartLocation& part : locateParts(image)) {
        if (part.type == PartHeader) rangeStart = part.offset;
        if (part.type != PartSignature || !rangeStart) continue;
        std::uint8_t digest[Sha1::DigestSize];
        Sha1 sha1;
        sha1.update(image.data() + *rangeStart, part.dataOffset() - *rangeStart);
        if (!sha1.digest(digest)) continue;
        std::array<std::uint8_t, SignatureSize> fields;
        bool made = signatureFields(digest, key, fields);
        std::size_t room = std::min<std::size_t>(part.size, image.size() - part.dataOffset());
        std::memcpy(image.data() + part.dataOffset(), fields.data(), std::min(room, fields.size()));
        rangeStart.reset();
        if (made) ++signedCount;
    }
    return signedCount;
}

void flipByte(std::string& image, std::size_t offset, std::uint8_t mask) {
    if (offset < image.size()) image[offset] = static_cast<char>(static_cast<std::uint8_t>(image[offset]) ^ mask);
}

void cutImage(std::string& image, std::size_t length) {
    if (length < image.size()) image.resize(length);
}

void setMagic(std::string& image, std::uint32_t magic) {
    if (image.size() >= 4) storeLe32At(image, 0, magic);
}

void setFileLength(std::string& image, std::uint32_t length) {
    if (image.size() >= FileHeaderSize) storeLe32At(image, 4, length);
}

void fixFileLength(std::string& image) {
    if (image.size() >= FileHeaderSize) setFileLength(image, static_cast<std::uint32_t>(image.size() - FileHeaderSize));
}

bool setPartSize(std::string& image, std::uint16_t type, std::uint32_t size) {
    auto part = findPart(image, type);
    if (!part) return false;
    storeLe32At(image, part->offset + 2, size);
    return true;
}

bool setDependencyCount(std::string& image, std::uint16_t type, std::uint16_t count) {
    auto part = findPart(image, type);
    if (!part || part->size < 2 || image.size() < part->dataOffset() + 2) return false;
    std::uint8_t bytes[2];
    storeLe16(bytes, count);
    std::memcpy(image.data() + part->dataOffset(), bytes, sizeof bytes);
    return true;
}

bool removePart(std::string& image, std::uint16_t type) {
    auto part = findPart(image, type);
    if (!part) return false;
    std::size_t end = std::min<std::size_t>(image.size(), part->dataOffset() + part->size);
    image.erase(part->offset, end - part->offset);
    fixFileLength(image);
    return true;
}

}  // namespace velmora
