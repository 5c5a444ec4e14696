// A commit flushes the staged contents before its first rename makes any live, and again after its last.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "e2e/install_support.h"
#include "support/process_run.h"

namespace velmora {
namespace {

class Durability : public InstallTest {};

TEST_F(Durability, CommitFlushesBeforeTheFirstRenameAndAfterTheLast) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the leak checker of a sanitized installer cannot run under strace";
#endif
    if (::geteuid() != 0 || ::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs root and strace";
    upload("stavel-6.1.vpa",
           makePackage(packageRecipe("stavel", "6.1", {regularFile("/bin/a", "a"), regularFile("/etc/b", "b")})));
    const std::string log = box.hostPath("ram/strace.log");
    const ProcessRun run = runProcess({"/usr/bin/strace", "-f", "-qq", "-o", log, "-e",
                                       "trace=sync,syncfs,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
                                       INSTALLER_BINARY, "-r", box.path()},
                                      box.hostPath("ram"));
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    ASSERT_EQ(read("flash/bin/a"), "a");

    // The calls in order as letters: s a flush, r a rename, u an unlink.
    std::string calls;
    std::ifstream in(log);
    const std::regex call(R"(\b(sync|syncfs|fsync|fdatasync|rename|renameat2?|unlink|unlinkat)\()");
    std::smatch found;
    for (std::string line; std::getline(in, line);) {
        if (!std::regex_search(line, found, call)) continue;
        calls += found[1].str().find("sync") != std::string::npos ? 's' : found[1].str()[0];
    }
    const std::size_t first = calls.find('r'), last = calls.rfind('r');
    ASSERT_NE(first, std::string::npos) << "no rename seen";
    EXPECT_NE(calls.find('s'), std::string::npos);
    EXPECT_LT(calls.find('s'), first) << calls;
    EXPECT_NE(calls.find('s', last), std::string::npos) << calls;
}

}  // namespace
}  // namespace velmora
