// Package contents are streamed: the installer's peak memory stays small
// and does not grow with the size of the package it installs.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "e2e/install_support.h"

namespace velmora {
namespace {

constexpr long kPeakLimitKiB = 8 * 1024;

// Content that compresses poorly, so that the archive is as large as the
// file and every stage of the stream carries the full size.
std::string noise(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 0x9E3779B9;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

constexpr const char* kTimeTool = "/usr/bin/time";

// Peak resident size of one stream-mode run, in KiB, as the time tool sees
// it. A process forked from this test would carry the test's own peak into
// the figure, so the installer is started by the small time process.
std::optional<long> peakOfRun(SandboxRoot& box, const std::string& image) {
    const std::string imagePath = box.hostPath("stream.vpa");
    const std::string reportPath = box.hostPath("peak.txt");
    if (!box.writeFile("stream.vpa", image)) return std::nullopt;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, imagePath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args{kTimeTool, "-o", reportPath, "-f", "%M", INSTALLER_BINARY, "-q", "-r", box.path(), "-"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, kTimeTool, &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return std::nullopt;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    std::optional<std::string> report = box.readFile("peak.txt");
    if (!report || report->empty()) return std::nullopt;
    return std::stol(*report);
}

class InstallMemory : public ::testing::Test {};

TEST_F(InstallMemory, PeakStaysSmallWhateverThePackageSize) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer runtimes keep shadow memory of their own";
#endif
    if (::geteuid() != 0) GTEST_SKIP() << "the timed installer enters its root itself, which needs root";
    if (::access(kTimeTool, X_OK) != 0) GTEST_SKIP() << kTimeTool << " is not installed";
    SandboxRoot small;
    SandboxRoot large;
    const std::string smallImage =
        makePackage(packageRecipe("small", "1.0", {regularFile("/data/blob", noise(64 * 1024))}));
    PackageRecipe largeRecipe = packageRecipe("large", "1.0", {regularFile("/data/blob", noise(24 * 1024 * 1024))});
    largeRecipe.files.push_back(regularFile("/data/second", noise(4 * 1024 * 1024)));
    const std::string largeImage = makePackage(largeRecipe);

    std::optional<long> smallPeak = peakOfRun(small, smallImage);
    std::optional<long> largePeak = peakOfRun(large, largeImage);

    ASSERT_TRUE(smallPeak && largePeak) << "an installer run failed";
    ASSERT_EQ(large.readFile("flash/data/blob")->size(), 24u * 1024 * 1024);
    EXPECT_LT(*largePeak, kPeakLimitKiB);
    // Room for page-level noise, nowhere near the 28 MiB more content.
    EXPECT_LT(*largePeak - *smallPeak, 512) << "small " << *smallPeak << " KiB, large " << *largePeak << " KiB";
}

}  // namespace
}  // namespace velmora
