// Reads and skips through an InflateStream over arbitrary bytes and checks
// that whatever it hands out is what zlib itself inflates from them.

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <string_view>

#include "memory_source.h"
#include "storage/inflate_stream.h"

namespace {

constexpr std::size_t Limit = 1 << 18;
constexpr std::size_t ReferenceSize = Limit + 2 * 9000;

void check(bool condition) {
    if (!condition) std::abort();
}

// zlib in one go, up to the first error or ReferenceSize bytes.
std::string_view reference(const std::uint8_t* data, std::size_t size) {
    static char out[ReferenceSize];
    z_stream zlib{};
    if (inflateInit(&zlib) != Z_OK) return {};
    zlib.next_in = const_cast<Bytef*>(data);
    zlib.avail_in = static_cast<uInt>(size);
    zlib.next_out = reinterpret_cast<Bytef*>(out);
    zlib.avail_out = static_cast<uInt>(sizeof out);
    inflate(&zlib, Z_SYNC_FLUSH);
    const std::size_t produced = sizeof out - zlib.avail_out;
    inflateEnd(&zlib);
    return std::string_view(out, produced);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the reading pattern; the rest is the stream.
    const std::uint8_t pattern = data[0];
    velmora::fuzz::MemorySource memory(data + 1, size - 1);
    std::istream source(&memory);
    velmora::InflateStream in(source);

    const std::string_view expected = reference(data + 1, size - 1);
    std::size_t position = 0;
    std::uint32_t seed = pattern;
    char buffer[9000];
    while (position < Limit) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t step = 1 + (seed >> 8) % sizeof buffer;
        if (pattern & 1 && (seed >> 20) % 3 == 0) {
            if (!in.seekg(static_cast<std::streamoff>(step), std::ios::cur)) break;
            position += step;
            check(position <= expected.size());
            continue;
        }
        if (pattern & 2 && position > 0 && (seed >> 20) % 5 == 0) {
            check(static_cast<bool>(in.unget()));
            check(in.get() == static_cast<unsigned char>(expected[position - 1]));
        }
        in.read(buffer, static_cast<std::streamsize>(step));
        const auto got = static_cast<std::size_t>(in.gcount());
        check(position + got <= expected.size());
        check(std::memcmp(buffer, expected.data() + position, got) == 0);
        position += got;
        if (got < step) break;
    }
    return 0;
}
