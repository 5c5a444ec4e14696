#include "storage/flash_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace velmora {
namespace {

// Each answer from a stand-in device: absent, refused, or what it says.
TEST(FlashDeviceTest, AnswersFromTheDevices) {
    const struct { bool present; std::uint32_t eraseSize; bool fails, large; } erase[] = {
        {false, 0x40000, false, false}, {true, 0x20000, false, false}, {true, 0x40000, false, true},
        {true, 0x80000, false, false}, {true, 0x40000, true, false}};
    const struct { bool present, refused; int answer; unsigned bit; } control[] = {
        {false, false, 0x13, 0}, {true, false, 0x13, 16}, {true, false, 0xEF, 0}, {true, false, 0x10, 16},
        {true, false, 0, 0}, {true, true, 0, 16}};
    const struct { bool present, refused; Version minimum, answer; } minimum[] = {
        {false, false, 0x06016600, 0}, {true, false, 0x06016600, 0x06016600}, {true, true, 0x06016600, 0}};
    FlashDeviceSubstitute devices; setFlashDeviceSubstitute(&devices);
    for (const auto& row : erase) {
        devices.mtdPresent = row.present, devices.eraseSize = row.eraseSize, devices.mtdRequestFails = row.fails;
        EXPECT_EQ(largeEraseBlocks(), row.large) << row.eraseSize << row.present << row.fails;
    }
    for (const auto& row : control) {
        devices.flashPresent = row.present, devices.controlRefused = row.refused, devices.controlAnswer = row.answer;
        EXPECT_EQ(flashControlBit16(), row.bit) << row.answer << row.present << row.refused;
    }
    for (const auto& row : minimum) {
        devices.flashPresent = row.present, devices.minimumRefused = row.refused, devices.boardMinimum = row.minimum;
        EXPECT_EQ(boardMinimumVersion(), row.answer) << row.present << row.refused;
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
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(devices.calls[i].path, expected[i].path);
        EXPECT_EQ(devices.calls[i].openFlags & O_ACCMODE, expected[i].mode);
        EXPECT_EQ(devices.calls[i].request, expected[i].request);
    }
    const BoardQuery& query = devices.calls[2].query;
    EXPECT_TRUE(query.queryClass == 4 && query.item == 37 && query.result == 0u);
    // This machine has neither device: the real path gives the neutral answers rather than fail.
    if (::access("/dev/mtd0", F_OK) == 0 || ::access("/dev/flash", F_OK) == 0) return;
    EXPECT_TRUE(!largeEraseBlocks() && flashControlBit16() == 0 && boardMinimumVersion() == 0);
}

}  // namespace
}  // namespace velmora
