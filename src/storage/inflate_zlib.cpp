#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "storage/inflate_decoder.h"

namespace velmora {

namespace {

constexpr std::size_t ArenaAlignment = 16;

// zlib's inflate state (about 7 KiB) plus its 32 KiB window, with room to
// spare for a differently built library.
constexpr std::size_t ArenaSize = std::size_t{48} * 1024;

class ZlibDecoder final : public InflateDecoder {
public:
    ZlibDecoder() : arena_(std::make_unique<unsigned char[]>(ArenaSize)) {
        std::memset(&zlib_, 0, sizeof zlib_);
        zlib_.zalloc = &ZlibDecoder::allocate;
        zlib_.zfree = &ZlibDecoder::release;
        zlib_.opaque = this;
        // A failed init shows as damage at the first inflate.
        ready_ = inflateInit(&zlib_) == Z_OK;
    }

    ~ZlibDecoder() override {
        if (ready_) inflateEnd(&zlib_);
    }

    ZlibDecoder(const ZlibDecoder&) = delete;
    ZlibDecoder& operator=(const ZlibDecoder&) = delete;

    void feed(const unsigned char* data, std::size_t size) override {
        zlib_.next_in = const_cast<Bytef*>(data);
        zlib_.avail_in = static_cast<uInt>(size);
    }

    bool hungry() const override { return zlib_.avail_in == 0; }

    Result inflate(unsigned char* out, std::size_t room, std::size_t& produced) override {
        produced = 0;
        if (!ready_) return Result::Damaged;
        // zlib keeps no inflated bytes back from a caller with room, so
        // without input there is nothing to do.
        if (zlib_.avail_in == 0) return Result::More;
        zlib_.next_out = out;
        zlib_.avail_out = static_cast<uInt>(room);
        const int result = ::inflate(&zlib_, Z_PARTIAL_FLUSH);
        produced = room - zlib_.avail_out;
        if (result == Z_STREAM_END) return Result::End;
        return result == Z_OK ? Result::More : Result::Damaged;
    }

private:
    // zlib's state and window come from the arena, so that inflating
    // allocates nothing once the decoder exists.
    static void* allocate(void* opaque, uInt items, uInt size) {
        auto* self = static_cast<ZlibDecoder*>(opaque);
        if (size != 0 && items > static_cast<std::size_t>(-1) / size) return Z_NULL;
        const std::size_t bytes = static_cast<std::size_t>(items) * size;
        const std::size_t start = (self->arenaUsed_ + ArenaAlignment - 1) & ~(ArenaAlignment - 1);
        if (start <= ArenaSize && bytes <= ArenaSize - start) {
            self->arenaUsed_ = start + bytes;
            return self->arena_.get() + start;
        }
        return std::malloc(bytes);
    }

    static void release(void* opaque, void* address) {
        auto* self = static_cast<ZlibDecoder*>(opaque);
        const auto* first = self->arena_.get();
        const auto* byte = static_cast<const unsigned char*>(address);
        // Arena memory goes with the decoder. std::less gives a total order
        // even for pointers into different objects.
        if (!std::less<const unsigned char*>()(byte, first) &&
            std::less<const unsigned char*>()(byte, first + ArenaSize))
            return;
        std::free(address);
    }

    z_stream zlib_;
    bool ready_ = false;
    std::unique_ptr<unsigned char[]> arena_;
    std::size_t arenaUsed_ = 0;
};

}  // namespace

std::unique_ptr<InflateDecoder> makeZlibDecoder() { return std::make_unique<ZlibDecoder>(); }

}  // namespace velmora
