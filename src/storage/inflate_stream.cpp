#include "storage/inflate_stream.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "storage/inflate_decoder.h"

namespace velmora {

namespace {

using Traits = std::streambuf::traits_type;

constexpr std::size_t SkipPiece = 1024;
const std::streambuf::pos_type SeekFailed{std::streambuf::off_type(-1)};

}  // namespace

InflateBackend defaultInflateBackend() {
#ifdef INSTALLER_HAVE_ISAL
    return InflateBackend::Isal;
#else
    return InflateBackend::Zlib;
#endif
}

bool hasInflateBackend(InflateBackend backend) {
#ifdef INSTALLER_HAVE_ISAL
    (void)backend;
    return true;
#else
    return backend == InflateBackend::Zlib;
#endif
}

const char* inflateBackendName(InflateBackend backend) { return backend == InflateBackend::Isal ? "isal" : "zlib"; }

namespace {

std::unique_ptr<InflateDecoder> makeDecoder(InflateBackend backend) {
#ifdef INSTALLER_HAVE_ISAL
    if (backend == InflateBackend::Isal) return makeIsalDecoder();
#endif
    if (backend == InflateBackend::Zlib) return makeZlibDecoder();
    throw std::invalid_argument(std::string("this build cannot inflate with ") + inflateBackendName(backend));
}

}  // namespace

InflateStreamBuf::InflateStreamBuf(std::streambuf* source, InflateBackend backend)
    : decoder_(makeDecoder(backend)), source_(source) {
    setg(area_ + 1, area_ + 1, area_ + 1);
}

InflateStreamBuf::~InflateStreamBuf() = default;

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
        std::size_t produced = 0;
        const auto result = decoder_->inflate(reinterpret_cast<unsigned char*>(first), StepSize, produced);
        if (result == InflateDecoder::Result::Damaged) {
            // Nothing of a refill in which the decoder found damage is
            // handed out.
            ended_ = true;
            return Traits::eof();
        }
        total_ += static_cast<std::uint32_t>(produced);
        if (result == InflateDecoder::Result::End) ended_ = true;
        if (produced > 0) {
            setg(keep ? area_ : first, first, first + produced);
            return Traits::to_int_type(*first);
        }
        if (ended_) return Traits::eof();
        // A decoder that neither took its input nor gave anything for it
        // would never get further.
        if (!decoder_->hungry()) {
            ended_ = true;
            return Traits::eof();
        }
        const std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_), StepSize);
        if (got <= 0) return Traits::eof();
        decoder_->feed(input_, static_cast<std::size_t>(got));
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

InflateStream::InflateStream(std::istream& input, InflateBackend backend)
    : std::istream(nullptr), buffer_(std::make_unique<InflateStreamBuf>(input.rdbuf(), backend)) {
    rdbuf(buffer_.get());
}

InflateStream::~InflateStream() = default;

}  // namespace velmora
