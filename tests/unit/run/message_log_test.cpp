#include "run/message_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "run/installer.h"
#include "unit/pdb/scratch_root.h"

namespace velmora {
namespace {

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";
const std::string kWipe = "\r" + std::string(79, ' ') + "\r";
const std::string kClear = kHide + "\r    \r" + kShow;  // of a four-character status line

class MessageLogTest : public db_test::ScratchRoot {
protected:
    std::string postlogText() const {
        std::stringstream content;
        content << std::ifstream(postlog(), std::ios::binary).rdbuf();
        return content.str();
    }
    // What the calls printed.
    template <typename Calls>
    static std::string printed(Calls calls) {
        testing::internal::CaptureStdout();
        calls();
        return testing::internal::GetCapturedStdout();
    }
    static Installer& installer() { return Installer::instance(); }
    std::string postlog() const { return root_ + "/rw/postlog"; }
};

TEST_F(MessageLogTest, MessagesCarryTheirPrefixesAndAreCutAt255Characters) {
    const std::string longText(400, 'x');
    const std::vector<std::string> expected = {"ERROR: bad thing", "WARNING: odd thing",
                                               "installed (disabled) stavel-6.1", "ERROR: " + longText.substr(0, 255)};
    EXPECT_EQ(printed([&] {
                  reportError("bad %s", "thing");
                  reportWarning("odd %s", "thing");
                  reportInfo("installed %s%s", "(disabled) ", "stavel-6.1");
                  reportError("%s", longText.c_str());
              }),
              expected[0] + "\n" + expected[1] + "\n" + expected[2] + "\n" + expected[3] + "\n");
    EXPECT_EQ(installer().messages, expected);
}

// The status line pads a shorter text and skips a redraw of the same text; a
// warning redraws it, an error or information clears it.
TEST_F(MessageLogTest, StatusLine) {
    const std::string text = "enabling stavel-6.1...";
    EXPECT_EQ(printed([&] {
                  setStatus(text);
                  setStatus(text);
                  setStatus("busy");
              }),
              kHide + "\r" + text + "\r" + kShow + kHide + "\rbusy" + std::string(18, ' ') + "\r" + kShow);
    EXPECT_EQ(printed([] { reportWarning("careful"); }), kWipe + "WARNING: careful\nbusy");
    EXPECT_EQ(installer().status, "busy");
    EXPECT_EQ(printed([] { reportInfo("finished"); }), kClear + "finished\n");
    EXPECT_TRUE(installer().status.empty());
    setStatus("busy");
    EXPECT_EQ(printed([] { reportError("failed"); }), kClear + "ERROR: failed\n");
}

TEST_F(MessageLogTest, QuietShowsAndCollectsNothing) {
    installer().quiet = true;
    EXPECT_EQ(printed([] {
                  setStatus("busy");
                  showProgress("installing a", 1, 2);
                  reportError("e");
                  reportWarning("w");
                  reportInfo("i");
              }),
              "");
    EXPECT_TRUE(installer().messages.empty() && installer().status.empty());
}

// The bar fills what the label leaves of 77 characters, clamped at both ends.
TEST_F(MessageLogTest, ProgressDrawsA77CharacterBar) {
    const struct {
        const char* name;
        std::size_t labelLength;
        std::uint32_t position, total;
        std::size_t hashes, blanks;
    } rows[] = {
        {"Empty", 20, 0, 1000, 0, 54},           {"Half", 20, 500, 1000, 27, 27},
        {"Truncates", 20, 999, 1000, 53, 1},     {"Full", 20, 1000, 1000, 54, 0},
        {"LargeValuesUse64Bits", 20, 0xFFFFFFF0u, 0xFFFFFFFFu, 53, 1},
        {"LabelOf74LeavesNoBar", 74, 5, 10, 0, 0}, {"LongerLabelClampsToZeroWidth", 90, 5, 10, 0, 0},
        {"ZeroTotalDoesNotDivide", 20, 0, 0, 54, 0}, {"PositionPastTotalIsFull", 20, 20, 10, 54, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string label(row.labelLength, 'l');
        printed([&] { showProgress(label, row.position, row.total); });
        EXPECT_EQ(installer().status, label + " [" + std::string(row.hashes, '#') + std::string(row.blanks, ' ') + "]");
    }
}

TEST_F(MessageLogTest, DisplayLabelNamesTheBundleOfAMember) {
    PackageRecord member("wifi");
    member.version = 0x06016600;
    EXPECT_EQ(displayLabel(member), "wifi-6.1");
    member.bundleRef = {"velmora", 0x06026600, 0x06036600, 0};
    EXPECT_EQ(displayLabel(member), "velmora-6.2");
    member.bundleRef.min = 0;
    EXPECT_EQ(displayLabel(member), "velmora");
}

// A reservation keeps the complete old lines and holds 4 KiB of flash until
// the postlog is written; without one, new messages are appended.
TEST_F(MessageLogTest, Postlog) {
    const struct {
        const char* name;
        std::optional<std::string> before;
        bool reserve, quiet;
        const char* message;
        std::string after;
    } rows[] = {
        {"UntouchedWithoutMessages", "old\n", false, false, nullptr, "old\n"},
        {"AppendedWithMessages", "old\n", false, false, "new", "old\nnew\n"},
        {"ReservedKeepsCompleteOldLines", "one\n\ntwo\ncut short", true, false, "new", "one\n\ntwo\nnew\n"},
        {"QuietReservedRunWritesBackOnlyTheOldLines", "kept\n", true, true, "not collected", "kept\n"},
        {"ReservedWithoutPreviousPostlogStartsEmpty", std::nullopt, true, false, nullptr, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        resetInstaller();
        std::filesystem::remove(postlog());
        if (row.before) std::ofstream(postlog()) << *row.before;
        installer().quiet = row.quiet;
        if (row.reserve) {
            reservePostlog(postlog().c_str());
            EXPECT_EQ(postlogText(), std::string(4096, '\0'));
        }
        if (row.message) printed([&] { reportInfo("%s", row.message); });
        writePostlog(postlog().c_str());
        EXPECT_EQ(postlogText(), row.after);
    }
}

}  // namespace
}  // namespace velmora
