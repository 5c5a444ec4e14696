#pragma once
// A seekable stream buffer over bytes in memory: the cheapest possible source,
// so that a benchmark measures the layers stacked on it.

#include <cstddef>
#include <streambuf>
#include <string>

namespace velmora::bench {

class MemorySource : public std::streambuf {
public:
    explicit MemorySource(const std::string& bytes) {
        char* first = const_cast<char*>(bytes.data());
        setg(first, first, first + bytes.size());
    }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override {
        off_type base = direction == std::ios_base::beg   ? 0
                        : direction == std::ios_base::cur ? gptr() - eback()
                                                          : egptr() - eback();
        return seekpos(pos_type(base + offset), which);
    }

    pos_type seekpos(pos_type position, std::ios_base::openmode) override {
        const off_type target = position;
        if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
        setg(eback(), eback() + target, egptr());
        return position;
    }
};

// Pseudo-random bytes drawn from a small alphabet, so that they deflate to
// roughly a third, like typical package contents.
inline std::string sampleBytes(std::size_t size) {
    std::string data(size, '\0');
    unsigned state = 2463534242u;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data[i] = static_cast<char>("etaoinshrdlucmfw"[state & 15]);
    }
    return data;
}

}  // namespace velmora::bench
