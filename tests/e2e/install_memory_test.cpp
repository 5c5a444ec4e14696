// Package contents are streamed: the installer's peak memory stays small whatever the package's size.

#include <gtest/gtest.h>
#include <unistd.h>

#include "e2e/install_support.h"
#include "support/process_run.h"

namespace velmora {
namespace {

constexpr const char* kTimeTool = "/usr/bin/time";

// Peak resident KiB of a stream-mode run, measured by the time tool: a process forked from this test would
// carry the test's own peak. The image goes in through the shell's redirection.
std::optional<long> peakOfRun(SandboxRoot& box, std::vector<FileEntry> files) {
    if (!box.writeFile("stream.vpa", makePackage(packageRecipe("p", "1.0", std::move(files))))) return std::nullopt;
    const ProcessRun run = runProcess({"/bin/sh", "-c", "exec \"$0\" -o \"$1\" -f %M \"$2\" -q -r \"$3\" - <\"$4\"",
                                       kTimeTool, box.hostPath("peak.txt"), INSTALLER_BINARY, box.path(),
                                       box.hostPath("stream.vpa")},
                                      box.path());
    const std::string report = box.readFile("peak.txt").value_or("");
    return run.exitStatus != 0 || report.empty() ? std::nullopt : std::optional(std::stol(report));
}

TEST(InstallMemory, PeakStaysSmallWhateverThePackageSize) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer runtimes keep shadow memory of their own";
#endif
    if (::geteuid() != 0 || ::access(kTimeTool, X_OK) != 0) GTEST_SKIP() << "needs root and " << kTimeTool;
    SandboxRoot small, large;
    const std::optional<long> smallPeak = peakOfRun(small, {regularFile("/data/blob", incompressible(64 << 10, 9))});
    const std::optional<long> largePeak = peakOfRun(large, {regularFile("/data/blob", incompressible(24 << 20, 7)),
                                                            regularFile("/data/second", incompressible(4 << 20, 8))});

    ASSERT_TRUE(smallPeak && largePeak) << "an installer run failed";
    ASSERT_EQ(large.readFile("flash/data/blob")->size(), 24u << 20);
    EXPECT_LT(*largePeak, 8 * 1024);
    // Page-level noise, nowhere near the 28 MiB more content.
    EXPECT_LT(*largePeak - *smallPeak, 512) << "small " << *smallPeak << " KiB, large " << *largePeak << " KiB";
}

}  // namespace
}  // namespace velmora
