#pragma once
// A seekable read-only stream buffer over a fuzz input, without copying it.

#include <cstddef>
#include <cstdint>
#include <streambuf>

namespace velmora::fuzz {

class MemorySource : public std::streambuf {
public:
    MemorySource(const std::uint8_t* data, std::size_t size) {
        char* first = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(first, first, first + size);
    }

    std::size_t consumed() const { return static_cast<std::size_t>(gptr() - eback()); }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode) override {
        off_type base = direction == std::ios_base::beg   ? 0
                        : direction == std::ios_base::cur ? gptr() - eback()
                                                          : egptr() - eback();
        return seekpos(pos_type(base + offset), std::ios_base::in);
    }

    pos_type seekpos(pos_type position, std::ios_base::openmode) override {
        const off_type target = position;
        if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
        setg(eback(), eback() + target, egptr());
        return position;
    }
};

}  // namespace velmora::fuzz
