#pragma once
// Input stream that inflates zlib data pulled from another stream buffer,
// in fixed 4096-byte steps and without allocating after construction.

#include <zlib.h>

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>

namespace velmora {

class InflateStreamBuf : public std::streambuf {
public:
    static constexpr std::size_t StepSize = 4096;

    explicit InflateStreamBuf(std::streambuf* source);
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
    static void* allocate(void* opaque, uInt items, uInt size);
    static void release(void* opaque, void* address);

    // area_[0] keeps the last byte handed out before a refill so that it can
    // still be put back; the get area proper starts at area_ + 1.
    char area_[1 + StepSize];
    unsigned char input_[StepSize] = {};
    z_stream zlib_;
    std::streambuf* source_;
    std::uint32_t total_ = 0;
    bool ended_ = false;

    // zlib's state and window come from here, so that inflating allocates
    // nothing once the buffer exists.
    std::unique_ptr<unsigned char[]> arena_;
    std::size_t arenaUsed_ = 0;
};

class InflateStream : public std::istream {
public:
    explicit InflateStream(std::istream& input);
    ~InflateStream() override;

private:
    std::unique_ptr<InflateStreamBuf> buffer_;
};

}  // namespace velmora
