#include <isa-l/igzip_lib.h>

#include <cstdint>

#include "storage/inflate_decoder.h"

namespace velmora {

namespace {

// ISA-L's igzip over zlib-format data. The two header bytes are checked
// here, exactly as zlib checks them, and igzip inflates the deflate data
// and checks the Adler-32 value that follows: igzip's own header reader
// accepts headers that zlib refuses.
class IsalDecoder final : public InflateDecoder {
public:
    // The state holds igzip's 64 KiB output window; made once, here.
    IsalDecoder() : state_(std::make_unique<inflate_state>()) {
        isal_inflate_init(state_.get());
        state_->crc_flag = ISAL_ZLIB_NO_HDR_VER;
    }

    void feed(const unsigned char* data, std::size_t size) override {
        while (headerSize_ < sizeof header_ && size > 0) {
            header_[headerSize_++] = *data++;
            --size;
        }
        state_->next_in = const_cast<std::uint8_t*>(data);
        state_->avail_in = static_cast<std::uint32_t>(size);
    }

    bool hungry() const override { return state_->avail_in == 0; }

    Result inflate(unsigned char* out, std::size_t room, std::size_t& produced) override {
        produced = 0;
        if (headerSize_ < sizeof header_) return Result::More;
        if (!headerGood()) return Result::Damaged;
        state_->next_out = out;
        state_->avail_out = static_cast<std::uint32_t>(room);
        const int result = isal_inflate(state_.get());
        produced = room - state_->avail_out;
        if (result != ISAL_DECOMP_OK) return Result::Damaged;
        return state_->block_state == ISAL_BLOCK_FINISH ? Result::End : Result::More;
    }

private:
    // Deflate, a window of at most 32 KiB, the check bits right and no
    // preset dictionary (which zlib would ask for and we cannot give).
    bool headerGood() const {
        const unsigned method = header_[0];
        const unsigned flags = header_[1];
        return (method & 0x0F) == 8 && (method >> 4) <= 7 && ((method << 8) | flags) % 31 == 0 &&
               (flags & 0x20) == 0;
    }

    std::unique_ptr<inflate_state> state_;
    std::uint8_t header_[2] = {};
    std::size_t headerSize_ = 0;
};

}  // namespace

std::unique_ptr<InflateDecoder> makeIsalDecoder() { return std::make_unique<IsalDecoder>(); }

}  // namespace velmora
