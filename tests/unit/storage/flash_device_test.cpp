#include "storage/flash_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace velmora;

// Each answer from stand-in devices: absent, refused, or what they say (the board minimum is 6.1 when asked).
TEST(FlashDeviceTest, AnswersFromTheDevices) {
    const struct { bool mtd; std::uint32_t eraseSize; bool mtdFails, flash, refused; int answer; bool large;
                   unsigned bit; Version minimum; } rows[] = {
        {0, 0x40000, 0, 0, 0, 0x13, 0, 0, 0}, {1, 0x20000, 0, 1, 0, 0x13, 0, 16, 0x06016600},
        {1, 0x40000, 0, 1, 0, 0xEF, 1, 0, 0x06016600}, {1, 0x80000, 0, 1, 0, 0x10, 0, 16, 0x06016600},
        {1, 0x40000, 1, 1, 0, 0, 0, 0, 0x06016600}, {1, 0x40000, 0, 1, 1, 0, 1, 16, 0}};
    FlashDeviceSubstitute devices; setFlashDeviceSubstitute(&devices); devices.boardMinimum = 0x06016600;
    for (const auto& row : rows) {
        devices.mtdPresent = row.mtd, devices.eraseSize = row.eraseSize, devices.mtdRequestFails = row.mtdFails;
        devices.flashPresent = row.flash, devices.controlRefused = devices.minimumRefused = row.refused;
        devices.controlAnswer = row.answer;
        EXPECT_TRUE(largeEraseBlocks() == row.large && flashControlBit16() == row.bit &&
                    boardMinimumVersion() == row.minimum) << row.eraseSize << row.answer << row.refused;
    }
    setFlashDeviceSubstitute(nullptr);
}

// The request codes, open modes and the query block as the driver expects them, in native byte order.
TEST(FlashDeviceTest, RequestsReachTheirDevicesAsTheDriverExpects) {
    FlashDeviceSubstitute devices; devices.mtdPresent = devices.flashPresent = true; setFlashDeviceSubstitute(&devices);
    largeEraseBlocks(); flashControlBit16(); boardMinimumVersion(); setFlashDeviceSubstitute(nullptr);
    ASSERT_EQ(devices.calls.size(), 3u);
    const struct { const char* path; int mode; unsigned long request; } expected[] = {
        {"/dev/mtd0", O_RDONLY, 0x40204D01ul}, {"/dev/flash", O_RDONLY, 0x2000462Bul},
        {"/dev/flash", O_RDWR, 0xC0044626ul}};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(devices.calls[i].path == expected[i].path && (devices.calls[i].openFlags & O_ACCMODE) ==
                    expected[i].mode && devices.calls[i].request == expected[i].request) << devices.calls[i].request;
    const BoardQuery& query = devices.calls[2].query;
    EXPECT_TRUE(query.queryClass == 4 && query.item == 37 && query.result == 0u);
    // This machine has neither device: the real path gives the neutral answers rather than fail.
    if (::access("/dev/mtd0", F_OK) == 0 || ::access("/dev/flash", F_OK) == 0) return;
    EXPECT_TRUE(!largeEraseBlocks() && flashControlBit16() == 0 && boardMinimumVersion() == 0);
}
