#pragma once
// Throwaway router roots (flash/, ram/, rw/ under /tmp) for runs of the built installer, so that no run can
// reach the host's /flash, /ram or /rw. chroot needs root: without it every run enters a user namespace of its
// own (as `unshare -r`), and where that is not allowed either, SandboxTest skips saying why.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// Normal: the host's view, the arguments carry "-r <root>"; Chrooted: "/installer" started inside the root.
enum class RunMode { Normal, Chrooted };

struct RunResult {
    int exitStatus = -1, signal = 0;  // -1: no normal exit; the signal that ended it, if any (SIGALRM: it hung)
    std::string out, err;
};

// Variables set for a run. "arch" and "bootimage" are unset unless given here, so that the caller's environment
// cannot leak into a run.
using EnvOverrides = std::map<std::string, std::string>;

struct SandboxLayout {
    bool packageDatabase = true;  // create flash/var/pdb/ (empty)
    bool bootDir = true;          // create flash/boot/
    // ram/ on another file system (/dev/shm), so that moves to /flash cross devices as on the router.
    bool ramOnOtherDevice = false;
};

// One path under the root, as seen without following symbolic links.
struct TreeEntry {
    char type = '?';  // 'f' file, 'd' directory, 'l' symbolic link, '?' other
    std::uint64_t size = 0;
    unsigned mode = 0;   // permission bits
    std::string digest;  // a hash of a file's contents, a link's text
    bool operator==(const TreeEntry&) const = default;
};

// Relative path ("flash/var/pdb") -> entry.
using TreeSnapshot = std::map<std::string, TreeEntry>;

// One line per difference ("+ path", "- path", "~ path (...)"); empty when there is none.
std::string describeChanges(const TreeSnapshot& before, const TreeSnapshot& after);


class SandboxRoot {
public:
    explicit SandboxRoot(SandboxLayout layout = {});
    ~SandboxRoot();
    SandboxRoot(const SandboxRoot&) = delete;
    SandboxRoot& operator=(const SandboxRoot&) = delete;

    // Absolute host path of the root; empty when it could not be made.
    const std::string& path() const { return root_; }
    // Host path of "flash/postlog" (a leading "/" means the same).
    std::string hostPath(std::string_view relative) const;

    // Writes a file, creating missing parent directories.
    bool writeFile(std::string_view relative, std::string_view contents, unsigned mode = 0644);
    std::optional<std::string> readFile(std::string_view relative) const;
    bool exists(std::string_view relative) const;  // lstat succeeds
    bool makeDirs(std::string_view relative);
    bool removeAll(std::string_view relative);

    RunResult runInstaller(const std::vector<std::string>& args, const std::string& stdinData = "",
                           RunMode mode = RunMode::Normal, const EnvOverrides& env = {});

    // Every path under the root, but what the helper put there to run chrooted.
    TreeSnapshot snapshot() const;

private:
    bool installRuntime();
    bool ensureHelperDir(const std::string& relative);
    void walk(const std::string& hostDir, const std::string& relative, TreeSnapshot& into) const;

    std::string root_, ramStore_;  // ramStore_: the directory behind ram/ when on another device
    bool runtimeInstalled_ = false;
    std::set<std::string> helperPaths_;  // relative paths the helper created
};

// Skips, saying why, where sandbox roots cannot be entered.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
};

}  // namespace velmora
