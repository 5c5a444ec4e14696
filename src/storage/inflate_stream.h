#pragma once
// Input stream that inflates zlib data pulled from another stream buffer,
// in fixed 4096-byte steps and without allocating after construction.

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>

namespace velmora {

class InflateDecoder;

enum class InflateBackend { Zlib, Isal };

// What this build inflates with unless told otherwise: ISA-L where it was
// built in, zlib elsewhere.
InflateBackend defaultInflateBackend();
// Whether this build carries the backend (zlib always does).
bool hasInflateBackend(InflateBackend backend);
const char* inflateBackendName(InflateBackend backend);

class InflateStreamBuf : public std::streambuf {
public:
    static constexpr std::size_t StepSize = 4096;

    // Throws std::invalid_argument for a backend this build does not carry.
    explicit InflateStreamBuf(std::streambuf* source, InflateBackend backend = defaultInflateBackend());
    ~InflateStreamBuf() override;
    InflateStreamBuf(const InflateStreamBuf&) = delete;
    InflateStreamBuf& operator=(const InflateStreamBuf&) = delete;

    // Inflated bytes placed in the get area so far.
    std::uint32_t total() const { return total_; }

protected:
    int_type underflow() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode which = std::ios_base::in) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which = std::ios_base::in) override;

private:
    // area_[0] keeps the last byte handed out before a refill so that it can
    // still be put back; the get area proper starts at area_ + 1.
    char area_[1 + StepSize];
    unsigned char input_[StepSize] = {};
    std::unique_ptr<InflateDecoder> decoder_;
    std::streambuf* source_;
    std::uint32_t total_ = 0;
    bool ended_ = false;
};

class InflateStream : public std::istream {
public:
    explicit InflateStream(std::istream& input, InflateBackend backend = defaultInflateBackend());
    ~InflateStream() override;

private:
    std::unique_ptr<InflateStreamBuf> buffer_;
};

}  // namespace velmora
