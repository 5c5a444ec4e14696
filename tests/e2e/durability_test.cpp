// A commit flushes the staged contents before the first rename makes any
// of them live, and flushes again after its last operation: watched with
// strace over a real upgrade run.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/install_support.h"
#include "support/process_run.h"

namespace velmora {
namespace {

class Durability : public InstallTest {};

TEST_F(Durability, CommitFlushesBeforeTheFirstRenameAndAfterTheLast) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the leak checker of a sanitized installer cannot run under strace";
#endif
    if (::geteuid() != 0) GTEST_SKIP() << "the installer enters its root with chroot, which needs root";
    if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    upload("stavel-6.1.vpa",
           makePackage(packageRecipe("stavel", "6.1", {regularFile("/bin/a", "a"), regularFile("/etc/b", "b")})));
    const std::string log = box.hostPath("ram/strace.log");

    ProcessRun run = runProcess({"/usr/bin/strace", "-f", "-qq", "-o", log, "-e",
                                 "trace=sync,syncfs,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
                                 INSTALLER_BINARY, "-r", box.path()},
                                box.hostPath("ram"));
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    ASSERT_EQ(read("flash/bin/a"), "a");

    std::ifstream in(log);
    std::vector<std::string> calls;  // "sync", "rename", "unlink" in order
    for (std::string line; std::getline(in, line);) {
        for (const char* name : {"sync", "rename", "unlink"}) {
            if (line.find(std::string(name) + "(") != std::string::npos ||
                line.find(std::string(name) + "at(") != std::string::npos ||
                line.find(std::string(name) + "at2(") != std::string::npos) {
                calls.push_back(name);
                break;
            }
        }
    }
    std::size_t firstChange = calls.size();
    std::size_t lastChange = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == "rename") {
            if (firstChange == calls.size()) firstChange = i;
            lastChange = i;
        }
    }
    ASSERT_LT(firstChange, calls.size()) << "no rename seen";
    bool flushedBefore = false;
    for (std::size_t i = 0; i < firstChange; ++i) flushedBefore = flushedBefore || calls[i] == "sync";
    bool flushedAfter = false;
    for (std::size_t i = lastChange + 1; i < calls.size(); ++i) flushedAfter = flushedAfter || calls[i] == "sync";
    EXPECT_TRUE(flushedBefore);
    EXPECT_TRUE(flushedAfter);
}

}  // namespace
}  // namespace velmora
