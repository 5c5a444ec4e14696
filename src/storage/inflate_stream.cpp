#include "storage/inflate_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace velmora {

namespace {

using Traits = std::streambuf::traits_type;

constexpr std::size_t SkipPiece = 1024;
constexpr std::size_t ArenaAlignment = 16;

// zlib's inflate state (about 7 KiB) plus its 32 KiB window, with room to
// spare for a differently built library.
constexpr std::size_t ArenaSize = std::size_t{48} * 1024;

const std::streambuf::pos_type SeekFailed{std::streambuf::off_type(-1)};

}  // namespace

InflateStreamBuf::InflateStreamBuf(std::streambuf* source)
    : source_(source), arena_(std::make_unique<unsigned char[]>(ArenaSize)) {
    setg(area_ + 1, area_ + 1, area_ + 1);
    std::memset(&zlib_, 0, sizeof zlib_);
    zlib_.zalloc = &InflateStreamBuf::allocate;
    zlib_.zfree = &InflateStreamBuf::release;
    zlib_.opaque = this;
    // A failed init shows as the end of the data at the first read.
    (void)inflateInit(&zlib_);
}

InflateStreamBuf::~InflateStreamBuf() { inflateEnd(&zlib_); }

void* InflateStreamBuf::allocate(void* opaque, uInt items, uInt size) {
    auto* self = static_cast<InflateStreamBuf*>(opaque);
    if (size != 0 && items > static_cast<std::size_t>(-1) / size) return Z_NULL;
    const std::size_t bytes = static_cast<std::size_t>(items) * size;
    const std::size_t start = (self->arenaUsed_ + ArenaAlignment - 1) & ~(ArenaAlignment - 1);
    if (start <= ArenaSize && bytes <= ArenaSize - start) {
        self->arenaUsed_ = start + bytes;
        return self->arena_.get() + start;
    }
    return std::malloc(bytes);
}

void InflateStreamBuf::release(void* opaque, void* address) {
    auto* self = static_cast<InflateStreamBuf*>(opaque);
    const auto* first = self->arena_.get();
    const auto* byte = static_cast<const unsigned char*>(address);
    // Arena memory goes with the buffer. std::less gives a total order even
    // for pointers into different objects.
    if (!std::less<const unsigned char*>()(byte, first) && std::less<const unsigned char*>()(byte, first + ArenaSize))
        return;
    std::free(address);
}

InflateStreamBuf::int_type InflateStreamBuf::underflow() {
    if (gptr() < egptr()) return Traits::to_int_type(*gptr());

    // Keep the last byte handed out so that it can be put back after the
    // refill; the get area shrinks to that byte until new data is good.
    char* const first = area_ + 1;
    bool keep = eback() == area_;
    if (gptr() > first) {
        area_[0] = gptr()[-1];
        keep = true;
    }
    setg(keep ? area_ : first, first, first);

    if (ended_ || source_ == nullptr) return Traits::eof();
    for (;;) {
        if (zlib_.avail_in == 0) {
            const std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_), StepSize);
            if (got <= 0) return Traits::eof();
            zlib_.next_in = input_;
            zlib_.avail_in = static_cast<uInt>(got);
        }
        zlib_.next_out = reinterpret_cast<Bytef*>(first);
        zlib_.avail_out = StepSize;
        const int result = inflate(&zlib_, Z_PARTIAL_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            // Nothing of a refill in which zlib found damage is handed out.
            ended_ = true;
            return Traits::eof();
        }
        const std::size_t produced = StepSize - zlib_.avail_out;
        total_ += static_cast<std::uint32_t>(produced);
        if (result == Z_STREAM_END) ended_ = true;
        if (produced > 0) {
            setg(keep ? area_ : first, first, first + produced);
            return Traits::to_int_type(*first);
        }
        if (result == Z_STREAM_END) return Traits::eof();
    }
}

InflateStreamBuf::pos_type InflateStreamBuf::seekoff(off_type offset, std::ios_base::seekdir direction,
                                                     std::ios_base::openmode) {
    // Deflate data can only be skipped by inflating it, so only forward
    // moves from the current position are possible.
    if (direction != std::ios_base::cur || offset < 0) return SeekFailed;
    char scratch[SkipPiece];
    while (offset > 0) {
        const auto piece = static_cast<std::streamsize>(std::min<off_type>(offset, SkipPiece));
        if (xsgetn(scratch, piece) < piece) return SeekFailed;
        offset -= piece;
    }
    return pos_type(static_cast<off_type>(total_) - (egptr() - gptr()));
}

InflateStreamBuf::pos_type InflateStreamBuf::seekpos(pos_type, std::ios_base::openmode) { return SeekFailed; }

InflateStream::InflateStream(std::istream& input)
    : std::istream(nullptr), buffer_(std::make_unique<InflateStreamBuf>(input.rdbuf())) {
    rdbuf(buffer_.get());
}

InflateStream::~InflateStream() = default;

}  // namespace velmora
