#include "storage/flash_device.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <ostream>

namespace velmora {
namespace {

class FlashDeviceTest : public ::testing::Test {
protected:
    void TearDown() override { setFlashDeviceSubstitute(nullptr); }

    void use(const FlashDeviceSubstitute& devices) {
        devices_ = devices;
        setFlashDeviceSubstitute(&devices_);
    }

    FlashDeviceSubstitute devices_;
};

struct EraseRow {
    const char* name;
    bool present;
    std::uint32_t eraseSize;
    bool requestFails;
    bool expected;
};
void PrintTo(const EraseRow& row, std::ostream* out) { *out << row.name; }

class LargeEraseBlocksTest : public FlashDeviceTest, public ::testing::WithParamInterface<EraseRow> {};

TEST_P(LargeEraseBlocksTest, Answers) {
    const EraseRow& row = GetParam();
    FlashDeviceSubstitute devices;
    devices.mtdPresent = row.present;
    devices.eraseSize = row.eraseSize;
    devices.mtdRequestFails = row.requestFails;
    use(devices);
    EXPECT_EQ(largeEraseBlocks(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Flash, LargeEraseBlocksTest,
                         ::testing::Values(EraseRow{"Absent", false, 0x40000, false, false},
                                           EraseRow{"Small", true, 0x20000, false, false},
                                           EraseRow{"Large", true, 0x40000, false, true},
                                           EraseRow{"Larger", true, 0x80000, false, false},
                                           EraseRow{"RequestFails", true, 0x40000, true, false}),
                         [](const ::testing::TestParamInfo<EraseRow>& info) { return info.param.name; });

struct ControlRow {
    const char* name;
    bool present;
    bool refused;
    int answer;
    unsigned expected;
};
void PrintTo(const ControlRow& row, std::ostream* out) { *out << row.name; }

class FlashControlTest : public FlashDeviceTest, public ::testing::WithParamInterface<ControlRow> {};

TEST_P(FlashControlTest, Answers) {
    const ControlRow& row = GetParam();
    FlashDeviceSubstitute devices;
    devices.flashPresent = row.present;
    devices.controlRefused = row.refused;
    devices.controlAnswer = row.answer;
    use(devices);
    EXPECT_EQ(flashControlBit16(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Flash, FlashControlTest,
                         ::testing::Values(ControlRow{"Absent", false, false, 0x13, 0},
                                           ControlRow{"BitSet", true, false, 0x13, 16},
                                           ControlRow{"BitClear", true, false, 0xEF, 0},
                                           ControlRow{"OnlyTheBit", true, false, 0x10, 16},
                                           ControlRow{"Zero", true, false, 0, 0},
                                           ControlRow{"Refused", true, true, 0, 16}),
                         [](const ::testing::TestParamInfo<ControlRow>& info) { return info.param.name; });

TEST_F(FlashDeviceTest, BoardMinimumFromTheDevice) {
    FlashDeviceSubstitute devices;
    use(devices);
    EXPECT_EQ(boardMinimumVersion(), 0u);  // absent

    devices.flashPresent = true;
    devices.boardMinimum = 0x06016600;
    use(devices);
    EXPECT_EQ(boardMinimumVersion(), 0x06016600u);

    devices.minimumRefused = true;
    use(devices);
    EXPECT_EQ(boardMinimumVersion(), 0u);
}

TEST_F(FlashDeviceTest, RequestsReachTheirDevicesAsTheDriverExpects) {
    FlashDeviceSubstitute devices;
    devices.mtdPresent = true;
    devices.flashPresent = true;
    devices.boardMinimum = 1;
    use(devices);
    largeEraseBlocks();
    flashControlBit16();
    boardMinimumVersion();

    const auto& calls = devices_.calls;
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].path, "/dev/mtd0");
    EXPECT_EQ(calls[0].openFlags & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(calls[0].request, 0x40204D01ul);
    EXPECT_EQ(calls[1].path, "/dev/flash");
    EXPECT_EQ(calls[1].openFlags & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(calls[1].request, 0x2000462Bul);
    EXPECT_EQ(calls[2].path, "/dev/flash");
    EXPECT_EQ(calls[2].openFlags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(calls[2].request, 0xC0044626ul);
    // Selectors in native order, result preset to 0.
    EXPECT_EQ(calls[2].query.queryClass, 4);
    EXPECT_EQ(calls[2].query.item, 37);
    EXPECT_EQ(calls[2].query.result, 0u);
}

// This machine has neither device: the real path must give the neutral
// answers rather than fail.
TEST_F(FlashDeviceTest, RealDevicesAbsentGiveNeutralAnswers) {
    setFlashDeviceSubstitute(nullptr);
    if (access("/dev/mtd0", F_OK) == 0 || access("/dev/flash", F_OK) == 0) {
        GTEST_SKIP() << "this machine has a flash device";
    }
    EXPECT_FALSE(largeEraseBlocks());
    EXPECT_EQ(flashControlBit16(), 0u);
    EXPECT_EQ(boardMinimumVersion(), 0u);
}

}  // namespace
}  // namespace velmora
