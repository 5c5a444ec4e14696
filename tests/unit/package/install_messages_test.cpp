#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "package/install_messages.h"
#include "planning/package_record.h"
#include "run/installer.h"

namespace velmora {
namespace {

class InstallMessagesTest : public ::testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        Installer& installer = Installer::instance();
        installer.messages.clear();
        installer.status.clear();
        installer.quiet = false;
    }
    // The one message a call reported.
    template <typename Call>
    static std::string reported(Call call) {
        testing::internal::CaptureStdout();
        call();
        testing::internal::GetCapturedStdout();
        const auto& messages = Installer::instance().messages;
        std::string last = messages.empty() ? "" : messages.back();
        EXPECT_EQ(messages.size(), 1u);
        clear();
        return last;
    }
};

TEST_F(InstallMessagesTest, CreateFailureIsChosenByErrno) {
    PackageRecord record("stavel");
    record.version = 100754944;  // 6.1
    const struct {
        int error;
        std::string text;
    } rows[] = {
        {ENOSPC, "ERROR: installation of stavel-6.1 failed: disk is too small"},
        {EIO, "ERROR: installation of stavel-6.1 failed: disk error"},
        {EACCES, std::string("ERROR: installation of stavel-6.1 failed: could not create meta/deps: ") +
                     std::strerror(EACCES)},
        {ENOTDIR, std::string("ERROR: installation of stavel-6.1 failed: could not create meta/deps: ") +
                      std::strerror(ENOTDIR)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        EXPECT_EQ(reported([&] {
                      errno = row.error;
                      reportCreateFailure(record, "meta/deps");
                  }),
                  row.text);
    }
}

TEST_F(InstallMessagesTest, BundleMembersAreNamedByTheirBundle) {
    PackageRecord member("stavel");
    member.version = 100754944;
    member.bundleRef = {"velmora", 100689408, 100689408, 0};  // 6.0
    EXPECT_EQ(reported([&] { reportBrokenPackage(member); }),
              "ERROR: installation of velmora-6.0 failed: broken package");
    EXPECT_EQ(reported([&] {
                  errno = EPERM;
                  reportCreateFailure(member, "bin/stavel");
              }),
              std::string("ERROR: installation of velmora-6.0 failed: could not create bin/stavel: ") +
                  std::strerror(EPERM));
}

}  // namespace
}  // namespace velmora
