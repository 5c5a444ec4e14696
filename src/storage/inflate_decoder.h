#pragma once
// The inflating engine behind InflateStreamBuf: zlib, or ISA-L's igzip where
// the build carries it. Both take the zlib format (header, deflate data,
// Adler-32 check value) and report damage the same way.

#include <cstddef>
#include <memory>

namespace velmora {

class InflateDecoder {
public:
    enum class Result {
        More,     // may produce more once it has more input
        End,      // the stream ended and its check value is good
        Damaged,  // bad header, bad deflate data or a wrong check value
    };

    virtual ~InflateDecoder() = default;

    // Hands over the next compressed bytes. The decoder reads them in place,
    // so they must stay put until it is hungry again.
    virtual void feed(const unsigned char* data, std::size_t size) = 0;

    // Whether every byte fed so far has been taken in.
    virtual bool hungry() const = 0;

    // Inflates into out, at most room bytes; produced tells how many. A
    // decoder that holds inflated bytes hands them out even when hungry.
    virtual Result inflate(unsigned char* out, std::size_t room, std::size_t& produced) = 0;
};

std::unique_ptr<InflateDecoder> makeZlibDecoder();
#ifdef INSTALLER_HAVE_ISAL
std::unique_ptr<InflateDecoder> makeIsalDecoder();
#endif

}  // namespace velmora
