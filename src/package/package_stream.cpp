#include "package/package_stream.h"

#include <algorithm>
#include <cstring>

#include "package/byte_order.h"
#include "package/package_format.h"
#include "package/signature_check.h"
#include "package/signature_verifier.h"

namespace velmora {

namespace {

using Traits = std::streambuf::traits_type;

constexpr std::uint32_t SkipChunk = 16384;
constexpr std::uint32_t NoMagic = 0xFFFFFFFF;

// Stands in for a missing source: always at its end, never seekable.
class EmptySource : public std::streambuf {};

std::streambuf* sourceOrEmpty(std::streambuf* source) {
    static EmptySource empty;
    return source != nullptr ? source : &empty;
}

const std::streambuf::pos_type SeekFailed{std::streambuf::off_type(-1)};

// The standard file buffer throws on a read error (a directory opened as a
// file, an I/O error of the medium) even when the stream asks for no
// exceptions. For a package every such error simply ends the data.
std::streamsize sourceGetn(std::streambuf* source, char* buffer, std::streamsize count) {
    try {
        return source->sgetn(buffer, count);
    } catch (...) {
        return 0;
    }
}

std::streambuf::int_type sourceGetc(std::streambuf* source) {
    try {
        return source->sgetc();
    } catch (...) {
        return std::streambuf::traits_type::eof();
    }
}

std::streambuf::int_type sourceBumpc(std::streambuf* source) {
    try {
        return source->sbumpc();
    } catch (...) {
        return std::streambuf::traits_type::eof();
    }
}

// The smaller of a stream count and the bytes left in a part. A part may
// hold more than std::streamsize can (32 bits on a 32-bit target), so they
// are compared unsigned; a count of 0 or less is kept as it is.
std::streamsize limitToPart(std::streamsize count, std::uint32_t remaining) {
    if (count <= 0 || static_cast<std::uint64_t>(count) <= remaining) return count;
    return static_cast<std::streamsize>(remaining);
}

}  // namespace

PackageStreamBuf::PackageStreamBuf(std::streambuf* source, bool hashing, std::streambuf* copyOutput)
    : source_(sourceOrEmpty(source)), copyOutput_(copyOutput), hashing_(hashing) {}

PackageStreamBuf::~PackageStreamBuf() = default;

std::streamsize PackageStreamBuf::take(char* buffer, std::streamsize count, bool feed) {
    std::streamsize got = sourceGetn(source_, buffer, count);
    if (got <= 0) return 0;
    if (got < static_cast<std::streamsize>(replayCount_)) {
        replayCount_ -= static_cast<std::uint32_t>(got);
        return got;
    }
    std::streamsize fresh = got - replayCount_;
    const char* first = buffer + replayCount_;
    replayCount_ = 0;
    if (copyOutput_ != nullptr) copyOutput_->sputn(first, fresh);
    if (feed) sha1_.update(first, static_cast<std::size_t>(fresh));
    return got;
}

std::uint32_t PackageStreamBuf::skip(std::uint32_t count) {
    char scratch[SkipChunk];
    std::uint32_t done = 0;
    while (done < count) {
        std::uint32_t ask = std::min(SkipChunk, count - done);
        auto got = static_cast<std::uint32_t>(readThrough(scratch, ask));
        done += got;
        if (got < ask) break;
    }
    return done;
}

bool PackageStreamBuf::seekSourceTo(off_type position) {
    return source_->pubseekpos(pos_type(position), std::ios_base::in) != SeekFailed;
}

bool PackageStreamBuf::seekSourceBy(off_type offset) {
    return source_->pubseekoff(offset, std::ios_base::cur, std::ios_base::in) != SeekFailed;
}

PackageStreamBuf::int_type PackageStreamBuf::underflow() {
    if (partRemaining_ == 0) return Traits::eof();
    return sourceGetc(source_);
}

PackageStreamBuf::int_type PackageStreamBuf::uflow() {
    if (partRemaining_ == 0) return Traits::eof();
    --partRemaining_;
    int_type c = sourceBumpc(source_);
    if (Traits::eq_int_type(c, Traits::eof())) return c;
    if (replayCount_ > 0) {
        --replayCount_;
        return c;
    }
    char byte = Traits::to_char_type(c);
    if (hashing_) sha1_.update(&byte, 1);
    if (copyOutput_ != nullptr) copyOutput_->sputc(byte);
    return c;
}

std::streamsize PackageStreamBuf::xsgetn(char_type* buffer, std::streamsize count) {
    if (partRemaining_ == 0 || count <= 0) return 0;
    std::streamsize ask = limitToPart(count, partRemaining_);
    std::streamsize got = readThrough(buffer, ask);
    partRemaining_ -= static_cast<std::uint32_t>(got);
    return got;
}

std::streamsize PackageStreamBuf::showmanyc() {
    return limitToPart(source_->in_avail(), partRemaining_);
}

PackageStreamBuf::int_type PackageStreamBuf::pbackfail(int_type c) {
    // Nothing of this part has been taken: the byte before it is not ours.
    if (partRemaining_ == partSize_) return Traits::eof();
    int_type r = Traits::eq_int_type(c, Traits::eof()) ? source_->sungetc()
                                                        : source_->sputbackc(Traits::to_char_type(c));
    if (Traits::eq_int_type(r, Traits::eof())) return r;
    if (hashing_ || copyOutput_ != nullptr) ++replayCount_;
    ++partRemaining_;
    return r;
}

PackageStreamBuf::pos_type PackageStreamBuf::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                     std::ios_base::openmode which) {
    // No position inside a part lies further than 2^32 from another.
    constexpr off_type Reach = 0xFFFFFFFF;
    if (offset > Reach || offset < -Reach) return SeekFailed;
    off_type position;
    if (direction == std::ios_base::beg) {
        position = offset;
    } else if (direction == std::ios_base::cur) {
        position = static_cast<off_type>(partSize_ - partRemaining_) + offset;
    } else {
        // From the end the offset counts backwards.
        position = static_cast<off_type>(partSize_) - offset;
    }
    return seekpos(pos_type(position), which);
}

PackageStreamBuf::pos_type PackageStreamBuf::seekpos(pos_type target, std::ios_base::openmode) {
    const off_type position = target;
    if (position < 0 || position > static_cast<off_type>(partSize_)) return SeekFailed;
    const auto left = static_cast<std::uint32_t>(partSize_ - position);
    if (left == partRemaining_) return target;
    if (!hashing_ && copyOutput_ == nullptr && seekSourceTo(static_cast<off_type>(partStart_) + position)) {
        partRemaining_ = left;
        return target;
    }
    // Hashed or copied bytes can only be read forwards.
    if (left > partRemaining_) return SeekFailed;
    const std::uint32_t ask = partRemaining_ - left;
    const std::uint32_t got = skip(ask);
    partRemaining_ -= got;
    return got < ask ? SeekFailed : target;
}

std::uint32_t PackageStreamBuf::readFileHeader(std::uint32_t& totalLength) {
    std::uint8_t header[FileHeaderSize];
    if (sourceGetn(source_, reinterpret_cast<char*>(header), FileHeaderSize) < static_cast<std::streamsize>(FileHeaderSize))
        return NoMagic;
    // The file header is copied but lies outside every signed range.
    if (copyOutput_ != nullptr) copyOutput_->sputn(reinterpret_cast<const char*>(header), FileHeaderSize);
    totalLength = loadLe32(header + 4) + FileHeaderSize;
    partStart_ += FileHeaderSize;
    return loadLe32(header);
}

std::int32_t PackageStreamBuf::nextPart() {
    if (partRemaining_ > 0) {
        bool passed = !hashing_ && copyOutput_ == nullptr && seekSourceBy(partRemaining_);
        if (!passed) {
            const std::uint32_t ask = partRemaining_;
            const std::uint32_t got = skip(ask);
            partRemaining_ -= got;
            if (got < ask) return -1;
        }
        partRemaining_ = 0;
    }
    partStart_ += partSize_;

    std::uint8_t header[PartHeaderSize];
    if (sourceGetn(source_, reinterpret_cast<char*>(header), PartHeaderSize) < static_cast<std::streamsize>(PartHeaderSize)) {
        sha1_.digest(digest_);
        return -1;
    }
    if (copyOutput_ != nullptr) copyOutput_->sputn(reinterpret_cast<const char*>(header), PartHeaderSize);
    const std::uint16_t type = loadLe16(header);
    if (hashing_) {
        // Each package of a bundle is signed on its own: its range starts
        // with its own header part.
        if (type == PartHeader) sha1_.digest(digest_);
        sha1_.update(header, PartHeaderSize);
    }
    partStart_ += PartHeaderSize;
    partSize_ = partRemaining_ = loadLe32(header + 2);
    return type;
}

SignatureCheck PackageStreamBuf::checkSignature(const TrustedKey* key, std::uint8_t signature[SignatureSize]) {
    if (!hashing_) return SignatureCheck::NotHashing;
    const bool digested = sha1_.digest(digest_);
    if (partRemaining_ < SignatureSize) return SignatureCheck::TooShort;
    // The signature is copied with the rest of the package but not fed: it
    // closes the range it signs.
    const std::streamsize got = take(reinterpret_cast<char*>(signature), SignatureSize, false);
    partRemaining_ -= static_cast<std::uint32_t>(got);
    if (got < static_cast<std::streamsize>(SignatureSize)) return SignatureCheck::Cut;
    if (!digested || std::memcmp(signature, digest_, Sha1::DigestSize) != 0) return SignatureCheck::DigestMismatch;
    if (key != nullptr &&
        !verifyCommitment(signature, signature + 20, signature + 36, key->publicKey, *key->constants)) {
        return SignatureCheck::CommitmentMismatch;
    }
    return SignatureCheck::Good;
}

bool PackageStreamBuf::readSignature(std::uint8_t signature[SignatureSize]) {
    return checkSignature(nullptr, signature) == SignatureCheck::Good;
}

bool PackageStreamBuf::verifySignature() {
    std::uint8_t signature[SignatureSize];
    const TrustedKey key = builtInKey();
    return checkSignature(&key, signature) == SignatureCheck::Good;
}

PackageFile::PackageFile(std::istream& source, bool hashing, std::streambuf* copyOutput)
    : std::istream(nullptr), buffer_(std::make_unique<PackageStreamBuf>(source.rdbuf(), hashing, copyOutput)) {
    rdbuf(buffer_.get());
    magic_ = buffer_->readFileHeader(totalLength_);
    if (magic_ != PackageMagic && magic_ != OverlayMagic) setstate(badbit);
}

PackageFile::~PackageFile() = default;

bool PackageFile::isOverlay() const { return magic_ == OverlayMagic; }

std::int32_t PackageFile::nextPart() {
    if (fail()) {
        currentType_ = -1;
        return -1;
    }
    clear(rdstate() & ~eofbit);
    for (;;) {
        const std::int32_t type = buffer_->nextPart();
        currentType_ = type;
        if (type == -1) break;
        if (std::find(wanted_.begin(), wanted_.end(), static_cast<std::uint32_t>(type)) != wanted_.end()) return type;
    }
    setstate(eofbit | failbit);
    return -1;
}

}  // namespace velmora
