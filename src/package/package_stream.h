#pragma once
// The two layers every package file is read through: PackageStreamBuf frames
// the parts, shows a reader only the current part, feeds each byte taken from
// the source to SHA-1 and to an optional copy exactly once; PackageFile reads
// the file header and steps from one wanted part to the next.

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

#include "package/sha1.h"
#include "package/signature_check.h"

namespace velmora {

// What the check of a signature part found.
enum class SignatureCheck : std::uint8_t {
    Good,
    NotHashing,          // the stream was read without hashing
    TooShort,            // the part holds fewer than 68 bytes
    Cut,                 // the part claims 68 bytes that do not all arrive
    DigestMismatch,      // the signed range is not what was signed
    CommitmentMismatch,  // r and v do not hold under the key
};

class PackageStreamBuf : public std::streambuf {
public:
    // source and copyOutput stay the caller's; copyOutput may be null.
    PackageStreamBuf(std::streambuf* source, bool hashing, std::streambuf* copyOutput);
    ~PackageStreamBuf() override;
    PackageStreamBuf(const PackageStreamBuf&) = delete;
    PackageStreamBuf& operator=(const PackageStreamBuf&) = delete;

    // Reads the 8-byte file header; returns the magic, or 0xFFFFFFFF (and
    // leaves totalLength alone) when the source is shorter than that.
    std::uint32_t readFileHeader(std::uint32_t& totalLength);

    // Moves past the rest of the current part and reads the next part
    // header. Returns its type, or -1 at the end of the parts.
    std::int32_t nextPart();

    std::uint32_t partSize() const { return partSize_; }
    std::uint32_t partStart() const { return partStart_; }
    std::uint32_t partRemaining() const { return partRemaining_; }
    bool hashing() const { return hashing_; }

    // The digest taken most recently (before a type 1 part header, at the end
    // of the source, or by a signature check).
    const std::uint8_t* lastDigest() const { return digest_; }

    // The stream half of the signature check: takes the digest, reads the
    // 68 signature bytes of the current part (copied, not fed) and compares
    // their digest field. On success the bytes are left in signature.
    bool readSignature(std::uint8_t signature[68]);

    // readSignature, then the commitment against key (the digest alone when
    // key is null). The 68 bytes read are left in fields.
    SignatureCheck checkSignature(const TrustedKey* key, std::uint8_t fields[68]);

    // The check against the built-in key.
    bool verifySignature();

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode which = std::ios_base::in) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which = std::ios_base::in) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* buffer, std::streamsize count) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;

private:
    // Takes up to count bytes from the source into buffer, then passes on the
    // ones not taken before (replayed bytes are neither copied nor fed again).
    std::streamsize take(char* buffer, std::streamsize count, bool feed);
    std::streamsize readThrough(char* buffer, std::streamsize count) { return take(buffer, count, hashing_); }
    std::uint32_t skip(std::uint32_t count);
    bool seekSourceTo(off_type position);
    bool seekSourceBy(off_type offset);

    std::streambuf* source_;
    std::uint32_t partStart_ = 0;
    std::uint32_t partSize_ = 0;
    std::uint32_t partRemaining_ = 0;
    std::streambuf* copyOutput_;
    Sha1 sha1_;
    bool hashing_;
    std::uint32_t replayCount_ = 0;
    std::uint8_t digest_[Sha1::DigestSize] = {};
};

class PackageFile : public std::istream {
public:
    // Reads the file header at once; a source without a package magic leaves
    // the stream bad, and then no part is ever found.
    PackageFile(std::istream& source, bool hashing, std::streambuf* copyOutput = nullptr);
    ~PackageFile() override;

    void want(std::uint32_t type) { wanted_.push_back(type); }

    // The next part whose type is wanted, skipping (and hashing) the others;
    // -1 with end of file and failure set when there is none.
    std::int32_t nextPart();

    std::int32_t currentType() const { return currentType_; }
    std::uint32_t partSize() const { return buffer_->partSize(); }
    std::uint32_t partStart() const { return buffer_->partStart(); }
    std::uint32_t partRemaining() const { return buffer_->partRemaining(); }
    bool isOverlay() const;
    std::uint32_t magic() const { return magic_; }
    std::uint32_t totalLength() const { return totalLength_; }
    bool verifySignature() { return buffer_->verifySignature(); }
    PackageStreamBuf& packageBuffer() { return *buffer_; }

private:
    std::unique_ptr<PackageStreamBuf> buffer_;
    std::vector<std::uint32_t> wanted_;
    std::int32_t currentType_ = -1;
    std::uint32_t magic_ = 0xFFFFFFFF;
    std::uint32_t totalLength_ = 0;
};

}  // namespace velmora
