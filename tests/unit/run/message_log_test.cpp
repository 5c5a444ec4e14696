#include "run/message_log.h"

#include <gtest/gtest.h>

#include <functional>

#include "unit/pdb/scratch_root.h"

using namespace velmora;

using MessageLogTest = db_test::ScratchRoot;
const std::string kHide = "\x1b[?25l", kShow = "\x1b[?25h";
static Installer& installer = Installer::instance();
static std::string printed(const std::function<void()>& calls) {
    return testing::internal::CaptureStdout(), calls(), testing::internal::GetCapturedStdout();
}

// Messages carry their prefixes and are cut at 255 characters. The status line pads a shorter text and skips a
// redraw of the same text; a warning redraws it, an error or information clears it. Quiet shows nothing.
TEST_F(MessageLogTest, MessagesAndStatusLine) {
    const std::string text = "enabling stavel-6.1...", clear = kHide + "\r    \r" + kShow, cut(255, 'x');
    EXPECT_EQ(printed([&] {
                  reportError("bad %s", "thing"), reportWarning("odd %s", "thing");
                  reportInfo("installed %s%s", "(disabled) ", "stavel-6.1"), reportError("%s", (cut + "yz").c_str());
                  setStatus(text), setStatus(text), setStatus("busy");
              }),
              "ERROR: bad thing\nWARNING: odd thing\ninstalled (disabled) stavel-6.1\nERROR: " + cut + "\n" + kHide +
                  "\r" + text + "\r" + kShow + kHide + "\rbusy" + std::string(18, ' ') + "\r" + kShow);
    EXPECT_EQ(installer.messages, (std::vector<std::string>{"ERROR: bad thing", "WARNING: odd thing",
                                                           "installed (disabled) stavel-6.1", "ERROR: " + cut}));
    EXPECT_EQ(printed([] { reportWarning("careful"); }), "\r" + std::string(79, ' ') + "\rWARNING: careful\nbusy");
    EXPECT_EQ(installer.status, "busy"); EXPECT_EQ(printed([] { reportInfo("finished"); }), clear + "finished\n");
    EXPECT_TRUE(installer.status.empty()); setStatus("busy");
    EXPECT_EQ(printed([] { reportError("failed"); }), clear + "ERROR: failed\n");
    resetInstaller(), installer.quiet = true;
    EXPECT_EQ(printed([] { setStatus("busy"), showProgress("a", 1, 2), reportError("e"), reportWarning("w"); }), "");
    EXPECT_TRUE(installer.messages.empty() && installer.status.empty());
}

// The bar fills what the label leaves of 77 characters, clamped at both ends; a bundle member shows its bundle.
TEST_F(MessageLogTest, ProgressDrawsA77CharacterBar) {
    const std::tuple<std::size_t, std::uint32_t, std::uint32_t, std::size_t, std::size_t> rows[] = {
        {20, 999, 1000, 53, 1}, {20, ~0u - 15, ~0u, 53, 1}, {74, 5, 10, 0, 0}, {20, 0, 0, 54, 0}, {20, 20, 10, 54, 0}};
    for (const auto& [length, position, total, hashes, blanks] : rows) {
        const std::string label(length, 'l'); printed([&] { showProgress(label, position, total); });
        EXPECT_EQ(installer.status, label + " [" + std::string(hashes, '#') + std::string(blanks, ' ') + "]");
    }
    PackageRecord member("wifi"); member.version = 0x06016600, member.bundleRef = {"velmora", 0x06026600, 1, 0};
    EXPECT_EQ(displayLabel(member), "velmora-6.2"); member.bundleRef.min = 0;
    EXPECT_EQ(displayLabel(member), "velmora");
}

// A reservation keeps the complete old lines and holds 4 KiB of flash until the postlog is written; without
// one, new messages are appended.
TEST_F(MessageLogTest, Postlog) {
    const std::string postlog = root_ + "/rw/postlog";
    const std::tuple<std::optional<std::string>, bool, bool, const char*, std::string> rows[] = {
        {"old\n", false, false, "new", "old\nnew\n"}, {"kept\n", true, true, "not collected", "kept\n"},
        {"one\n\ntwo\ncut short", true, false, "new", "one\n\ntwo\nnew\n"}, {std::nullopt, true, false, nullptr, ""}};
    for (const auto& [before, reserve, quiet, message, after] : rows) {
        resetInstaller(), std::filesystem::remove(postlog), installer.quiet = quiet;
        before ? put(postlog, *before) : void(); if (reserve) reservePostlog(postlog.c_str());
        EXPECT_EQ(read(postlog), reserve ? std::optional(std::string(4096, '\0')) : before);
        if (message) printed([&] { reportInfo("%s", message); });
        writePostlog(postlog.c_str()); EXPECT_EQ(read(postlog), after);
    }
}
