// Reads and skips through an InflateStream over arbitrary bytes, once with
// every inflate backend the build carries, and checks what comes out against
// zlib's own one-shot inflate of the same bytes: the zlib backend hands out
// nothing zlib does not inflate from them; for a stream zlib inflates to its
// end, every backend hands out exactly those bytes and then ends.

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

// zlib in one go, up to the first error or ReferenceSize bytes; complete
// tells whether that reached the end of a sound stream.
std::string_view reference(const std::uint8_t* data, std::size_t size, bool& complete) {
    complete = false;
    static char out[ReferenceSize];
    z_stream zlib{};
    if (inflateInit(&zlib) != Z_OK) return {};
    zlib.next_in = const_cast<Bytef*>(data);
    zlib.avail_in = static_cast<uInt>(size);
    zlib.next_out = reinterpret_cast<Bytef*>(out);
    zlib.avail_out = static_cast<uInt>(sizeof out);
    complete = inflate(&zlib, Z_SYNC_FLUSH) == Z_STREAM_END;
    const std::size_t produced = sizeof out - zlib.avail_out;
    inflateEnd(&zlib);
    return std::string_view(out, produced);
}

// Reads through the stream in the pattern; returns the bytes handed out,
// which ends when the stream does or at Limit.
std::size_t readThrough(const std::uint8_t* data, std::size_t size, velmora::InflateBackend backend,
                        std::uint8_t pattern, std::string_view expected, bool strict) {
    velmora::fuzz::MemorySource memory(data, size);
    std::istream source(&memory);
    velmora::InflateStream in(source, backend);

    std::size_t position = 0;
    std::uint32_t seed = pattern;
    char buffer[9000];
    while (position < Limit) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t step = 1 + (seed >> 8) % sizeof buffer;
        if (pattern & 1 && (seed >> 20) % 3 == 0) {
            if (!in.seekg(static_cast<std::streamoff>(step), std::ios::cur)) break;
            position += step;
            check(!strict || position <= expected.size());
            continue;
        }
        if (pattern & 2 && position > 0 && (seed >> 20) % 5 == 0) {
            check(static_cast<bool>(in.unget()));
            const int back = in.get();
            check(!strict || back == static_cast<unsigned char>(expected[position - 1]));
        }
        in.read(buffer, static_cast<std::streamsize>(step));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (strict) {
            check(position + got <= expected.size());
            check(std::memcmp(buffer, expected.data() + position, got) == 0);
        }
        position += got;
        if (got < step) break;
    }
    return position;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the reading pattern; the rest is the stream.
    const std::uint8_t pattern = data[0];
    bool complete = false;
    const std::string_view expected = reference(data + 1, size - 1, complete);
    for (const auto backend : {velmora::InflateBackend::Zlib, velmora::InflateBackend::Isal}) {
        if (!velmora::hasInflateBackend(backend)) continue;
        // Damaged streams may differ between backends in how far they get
        // before the damage shows; sound ones may not differ at all.
        const bool strict = complete || backend == velmora::InflateBackend::Zlib;
        const std::size_t got = readThrough(data + 1, size - 1, backend, pattern, expected, strict);
        // Without skips (a skip past the end moves nothing), a sound stream
        // shorter than the limit is read to its very end.
        if (complete && (pattern & 1) == 0 && expected.size() < Limit) check(got == expected.size());
    }
    return 0;
}
