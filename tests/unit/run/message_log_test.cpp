#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "planning/package_record.h"
#include "run/installer.h"
#include "run/message_log.h"

namespace velmora {
namespace {

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";
const std::string kWipe = "\r" + std::string(79, ' ') + "\r";

class MessageLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Installer& installer = Installer::instance();
        installer.status.clear();
        installer.messages.clear();
        installer.quiet = false;
        installer.postlogReserved = false;
        char pattern[] = "/tmp/postlog-XXXXXX";
        dir_ = mkdtemp(pattern);
        postlog_ = dir_ + "/postlog";
    }
    void TearDown() override {
        std::remove(postlog_.c_str());
        rmdir(dir_.c_str());
        Installer& installer = Installer::instance();
        installer.status.clear();
        installer.messages.clear();
        installer.quiet = false;
        installer.postlogReserved = false;
    }
    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    std::string dir_;
    std::string postlog_;
};

TEST_F(MessageLogTest, MessageKindsCarryTheirPrefixes) {
    testing::internal::CaptureStdout();
    reportError("bad %s", "thing");
    reportWarning("odd %s", "thing");
    reportInfo("installed %s%s", "(disabled) ", "stavel-6.1");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: bad thing\nWARNING: odd thing\ninstalled (disabled) stavel-6.1\n");
    const auto& messages = Installer::instance().messages;
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "ERROR: bad thing");
    EXPECT_EQ(messages[2], "installed (disabled) stavel-6.1");
}

TEST_F(MessageLogTest, MessagesAreCutAt255CharactersWithoutThePrefix) {
    std::string long_text(400, 'x');
    testing::internal::CaptureStdout();
    reportError("%s", long_text.c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Installer::instance().messages.at(0), "ERROR: " + std::string(255, 'x'));
}

TEST_F(MessageLogTest, StatusLinePadsShorterTextAndSkipsRedraws) {
    testing::internal::CaptureStdout();
    setStatus("enabling stavel-6.1...");
    setStatus("enabling stavel-6.1...");
    setStatus("done");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, kHide + "\renabling stavel-6.1..." + "\r" + kShow + kHide + "\rdone" +
                       std::string(18, ' ') + "\r" + kShow);
    EXPECT_EQ(Installer::instance().status, "done");
}

TEST_F(MessageLogTest, WarningRedrawsTheStatusLineErrorAndInfoClearIt) {
    testing::internal::CaptureStdout();
    setStatus("busy");
    reportWarning("careful");
    std::string afterWarning = testing::internal::GetCapturedStdout();
    EXPECT_EQ(afterWarning, kHide + "\rbusy\r" + kShow + kWipe + "WARNING: careful\nbusy");
    EXPECT_EQ(Installer::instance().status, "busy");

    testing::internal::CaptureStdout();
    reportInfo("finished");
    std::string afterInfo = testing::internal::GetCapturedStdout();
    EXPECT_EQ(afterInfo, kHide + "\r    \r" + kShow + "finished\n");
    EXPECT_TRUE(Installer::instance().status.empty());
}

TEST_F(MessageLogTest, QuietShowsAndCollectsNothing) {
    Installer::instance().quiet = true;
    testing::internal::CaptureStdout();
    setStatus("busy");
    showProgress("installing a", 1, 2);
    reportError("e");
    reportWarning("w");
    reportInfo("i");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(Installer::instance().messages.empty());
    EXPECT_TRUE(Installer::instance().status.empty());
}

struct ProgressRow {
    const char* name;
    std::size_t labelLength;
    std::uint32_t position;
    std::uint32_t total;
    std::size_t hashes;
    std::size_t blanks;
};

class ProgressTest : public MessageLogTest, public ::testing::WithParamInterface<ProgressRow> {};

TEST_P(ProgressTest, DrawsA77CharacterBar) {
    const ProgressRow& row = GetParam();
    std::string label(row.labelLength, 'l');
    testing::internal::CaptureStdout();
    showProgress(label, row.position, row.total);
    testing::internal::GetCapturedStdout();
    std::string expected = label + " [" + std::string(row.hashes, '#') + std::string(row.blanks, ' ') + "]";
    EXPECT_EQ(Installer::instance().status, expected);
    if (row.labelLength <= 74) {
        EXPECT_EQ(expected.size(), 77u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bars, ProgressTest,
    ::testing::Values(ProgressRow{"Empty", 20, 0, 1000, 0, 54}, ProgressRow{"Half", 20, 500, 1000, 27, 27},
                      ProgressRow{"Truncates", 20, 999, 1000, 53, 1}, ProgressRow{"Full", 20, 1000, 1000, 54, 0},
                      ProgressRow{"LargeValuesUse64Bits", 20, 0xFFFFFFF0u, 0xFFFFFFFFu, 53, 1},
                      ProgressRow{"LabelOf74LeavesNoBar", 74, 5, 10, 0, 0},
                      ProgressRow{"LongerLabelClampsToZeroWidth", 90, 5, 10, 0, 0},
                      ProgressRow{"ZeroTotalDoesNotDivide", 20, 0, 0, 54, 0},
                      ProgressRow{"PositionPastTotalIsFull", 20, 20, 10, 54, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MessageLogTest, DisplayLabelNamesTheBundleOfAMember) {
    PackageRecord member("wifi");
    member.version = 0x06016600;
    EXPECT_EQ(displayLabel(member), "wifi-6.1");
    member.bundleRef.name = "velmora";
    member.bundleRef.min = 0x06026600;
    EXPECT_EQ(displayLabel(member), "velmora-6.2");
    member.bundleRef.min = 0;
    EXPECT_EQ(displayLabel(member), "velmora");
}

TEST_F(MessageLogTest, PostlogUntouchedWithoutMessagesAndAppendedWithThem) {
    { std::ofstream(postlog_) << "old\n"; }
    writePostlog(postlog_.c_str());
    EXPECT_EQ(readFile(postlog_), "old\n");

    testing::internal::CaptureStdout();
    reportInfo("new");
    testing::internal::GetCapturedStdout();
    writePostlog(postlog_.c_str());
    EXPECT_EQ(readFile(postlog_), "old\nnew\n");
}

TEST_F(MessageLogTest, ReservationKeepsCompleteOldLinesAndHoldsFlash) {
    { std::ofstream(postlog_) << "first\nsecond\ncut short"; }
    reservePostlog(postlog_.c_str());
    EXPECT_EQ(readFile(postlog_), std::string(4096, '\0'));

    testing::internal::CaptureStdout();
    reportError("router installation failed!!!");
    testing::internal::GetCapturedStdout();
    writePostlog(postlog_.c_str());
    EXPECT_EQ(readFile(postlog_), "first\nsecond\nERROR: router installation failed!!!\n");
}

TEST_F(MessageLogTest, QuietReservedRunWritesBackOnlyTheOldLines) {
    { std::ofstream(postlog_) << "kept\n"; }
    Installer::instance().quiet = true;
    reservePostlog(postlog_.c_str());
    reportInfo("not collected");
    writePostlog(postlog_.c_str());
    EXPECT_EQ(readFile(postlog_), "kept\n");
}

TEST_F(MessageLogTest, ReservationWithoutPreviousPostlogStartsEmpty) {
    reservePostlog(postlog_.c_str());
    writePostlog(postlog_.c_str());
    EXPECT_EQ(readFile(postlog_), "");
}

}  // namespace
}  // namespace velmora
