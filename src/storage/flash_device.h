#pragma once
// The three questions the installer asks the router's flash hardware. Each
// opens its device, makes one request and closes it; a device that cannot
// be opened gives the neutral answer, so a board without these devices
// passes the board rules.

#include <cstdint>
#include <string>
#include <vector>

#include "pdb/version.h"

namespace velmora {

// Request numbers in the encoding of the target processor (direction in
// bits 29-31, argument size in bits 16-28, type letter, number).
inline constexpr unsigned long kMemGetInfoRequest = 0x40204D01;     // MEMGETINFO on "/dev/mtd0"
inline constexpr unsigned long kFlashControlRequest = 0x2000462B;   // "/dev/flash", no data
inline constexpr unsigned long kBoardMinimumRequest = 0xC0044626;   // "/dev/flash", read-write

inline constexpr std::uint32_t kLargeEraseBlock = 0x40000;  // 256 KiB
inline constexpr std::uint16_t kBoardQueryClass = 4;
inline constexpr std::uint16_t kBoardQueryMinimum = 37;

// Argument of MEMGETINFO, laid out like the kernel's mtd_info_user.
struct MtdInfo {
    std::uint8_t type;
    std::uint32_t flags;
    std::uint32_t size;
    std::uint32_t eraseSize;
    std::uint32_t writeSize;
    std::uint32_t oobSize;
    std::uint64_t padding;
};
static_assert(sizeof(MtdInfo) == 32, "MEMGETINFO takes a 32-byte record");

// Argument of the board-minimum request: two selectors and the result, in
// the machine's own byte order, as the driver reads and writes them.
struct BoardQuery {
    std::uint16_t queryClass;
    std::uint16_t item;
    std::uint32_t result;
};
static_assert(sizeof(BoardQuery) == 8, "the board-minimum request takes an 8-byte block");

// The first flash device has 256 KiB erase blocks.
bool largeEraseBlocks();

// Bit 4 of the flash control device's answer to its no-data request: 0 or
// 16; a refused request (-1) gives 16. 0 without the device.
unsigned flashControlBit16();

// The minimum Velmora version the board accepts; 0 without the device or
// when the request leaves its preset result untouched.
Version boardMinimumVersion();

// One device request as the substitute saw it.
struct FlashDeviceCall {
    std::string path;
    int openFlags = 0;
    unsigned long request = 0;
    BoardQuery query{};  // the block as handed over, for the board-minimum request
};

// Stands in for "/dev/mtd0" and "/dev/flash" in tests.
struct FlashDeviceSubstitute {
    bool mtdPresent = false;
    std::uint32_t eraseSize = 0;
    bool mtdRequestFails = false;

    bool flashPresent = false;
    bool controlRefused = false;   // request 0x2000462B returns -1
    int controlAnswer = 0;         // otherwise its return value
    bool minimumRefused = false;   // request 0xC0044626 fails and writes nothing
    Version boardMinimum = 0;

    // Every request that reached a present device, oldest first.
    mutable std::vector<FlashDeviceCall> calls;
};

// Directs the queries to substitute; null restores the real devices. The
// substitute must outlive its use.
void setFlashDeviceSubstitute(const FlashDeviceSubstitute* substitute);

}  // namespace velmora
