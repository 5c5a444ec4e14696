#include "support/sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSandboxPrefix = "/tmp/velmora-sandbox-";
constexpr const char* kRamStorePrefix = "/dev/shm/velmora-ram-";
constexpr unsigned kRunTimeoutSeconds = 60;

enum class Isolation { Root, UserNamespace, Unavailable };

// Async-signal-safe: runs between fork and exec.
bool writeRaw(const char* path, const char* text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
    return close(fd), ok;
}

// The caller's uid and gid as root of a new user namespace; made before fork.
struct IdMaps {
    std::string uid = "0 " + std::to_string(getuid()) + " 1\n", gid = "0 " + std::to_string(getgid()) + " 1\n";
};

bool enterUserNamespace(const IdMaps& maps) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    writeRaw("/proc/self/setgroups", "deny");  // older kernels lack it and need it not
    return writeRaw("/proc/self/uid_map", maps.uid.c_str()) && writeRaw("/proc/self/gid_map", maps.gid.c_str());
}

int waitFor(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) < 0 && errno == EINTR ? waitFor(pid) : status;
}

bool canChroot(bool userNamespace) {
    const IdMaps maps;
    const pid_t pid = fork();
    if (pid == 0) _exit((userNamespace && !enterUserNamespace(maps)) || chroot("/") != 0);
    const int status = pid > 0 ? waitFor(pid) : -1;
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Isolation isolation() {
    static const Isolation value = geteuid() == 0 && canChroot(false) ? Isolation::Root
                                   : canChroot(true)                  ? Isolation::UserNamespace
                                                                      : Isolation::Unavailable;
    return value;
}

// All of fd from its start; closes it.
std::optional<std::string> readBack(int fd) {
    std::string text;
    char buffer[65536];
    ssize_t n = fd < 0 ? -1 : lseek(fd, 0, SEEK_SET);
    while (n >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    if (fd >= 0) close(fd);
    return n < 0 ? std::nullopt : std::optional(text);
}

std::optional<std::string> slurp(const std::string& path) { return readBack(open(path.c_str(), O_RDONLY | O_CLOEXEC)); }

std::string describeEntry(const TreeEntry& entry) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", entry.mode);
    return std::string(1, entry.type) + " size=" + std::to_string(entry.size) + " mode=" + mode +
           (entry.digest.empty() ? "" : (entry.type == 'l' ? " -> " : " hash=") + entry.digest);
}

}  // namespace

void SandboxTest::SetUp() {
    if (isolation() == Isolation::Unavailable) {
        GTEST_SKIP() << "sandbox roots need chroot: run the tests as root, or allow unprivileged user namespaces "
                        "(`unshare -r` must work) so that they can run as root in one";
    }
}

std::string describeChanges(const TreeSnapshot& before, const TreeSnapshot& after) {
    std::set<std::string> paths;
    for (const TreeSnapshot* tree : {&before, &after}) for (const auto& [path, entry] : *tree) paths.insert(path);
    std::string changes;
    for (const std::string& path : paths) {
        const auto old = before.find(path), now = after.find(path);
        if (now == after.end()) changes += "- " + path + "\n";
        else if (old == before.end()) changes += "+ " + path + " (" + describeEntry(now->second) + ")\n";
        else if (!(old->second == now->second)) {
            changes += "~ " + path + " (" + describeEntry(old->second) + " => " + describeEntry(now->second) + ")\n";
        }
    }
    return changes;
}

SandboxRoot::SandboxRoot(SandboxLayout layout) {
    std::string pattern = std::string(kSandboxPrefix) + "XXXXXX";
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot make a sandbox directory: " << strerror(errno);
        return;
    }
    root_ = pattern;
    chmod(root_.c_str(), 0755);
    makeDirs("flash"), makeDirs("rw");
    if (layout.bootDir) makeDirs("flash/boot");
    if (layout.packageDatabase) makeDirs("flash/var/pdb");
    if (!layout.ramOnOtherDevice) {
        makeDirs("ram");
        return;
    }
    // A store under /dev/shm, bound onto ram/ for each run: moves from /ram to /flash cross devices.
    std::string store = std::string(kRamStorePrefix) + "XXXXXX";
    struct stat rootInfo {}, storeInfo {};
    if (!mkdtemp(store.data())) {
        ADD_FAILURE() << "no ram store under /dev/shm";
        return;
    }
    stat(root_.c_str(), &rootInfo), stat(store.c_str(), &storeInfo), chmod(store.c_str(), 0755);
    ramStore_ = store;  // removed with the root even when it is of no use
    EXPECT_NE(rootInfo.st_dev, storeInfo.st_dev) << "no second file system for ram/ under /dev/shm";
    ensureHelperDir("ram");
}

SandboxRoot::~SandboxRoot() {
    std::error_code ignored;
    // Only what this helper made; remove_all does not follow links out of it.
    if (root_.rfind(kSandboxPrefix, 0) == 0) fs::remove_all(root_, ignored);
    if (ramStore_.rfind(kRamStorePrefix, 0) == 0) fs::remove_all(ramStore_, ignored);
}

std::string SandboxRoot::hostPath(std::string_view relative) const {
    while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
    if (!ramStore_.empty() && relative.substr(0, 3) == "ram" && (relative.size() == 3 || relative[3] == '/')) {
        return ramStore_ + std::string(relative.substr(3));
    }
    return relative.empty() ? root_ : root_ + "/" + std::string(relative);
}

bool SandboxRoot::makeDirs(std::string_view relative) {
    std::error_code error;
    return fs::create_directories(hostPath(relative), error), !error;
}

bool SandboxRoot::writeFile(std::string_view relative, std::string_view contents, unsigned mode) {
    const std::string target = hostPath(relative);
    std::error_code error;
    fs::create_directories(fs::path(target).parent_path(), error);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    return out.good() && chmod(target.c_str(), mode) == 0;
}

std::optional<std::string> SandboxRoot::readFile(std::string_view relative) const { return slurp(hostPath(relative)); }

bool SandboxRoot::exists(std::string_view relative) const {
    return fs::exists(fs::symlink_status(hostPath(relative)));
}

bool SandboxRoot::removeAll(std::string_view relative) {
    std::error_code error;
    return fs::remove_all(hostPath(relative), error), !error;
}

// Records each level it creates, so that snapshots leave out exactly the helper's own additions.
bool SandboxRoot::ensureHelperDir(const std::string& relative) {
    fs::path sofar;
    for (const fs::path& part : fs::path(relative)) {
        sofar /= part;
        if (mkdir((root_ + "/" + sofar.string()).c_str(), 0755) == 0) helperPaths_.insert(sofar.string());
        else if (errno != EEXIST) return false;
    }
    return true;
}

// The installer and what ldd lists for it (the dynamic loader included), as copies: a run writing through a
// hard link would change the host's libraries.
bool SandboxRoot::installRuntime() {
    std::FILE* pipe = runtimeInstalled_ ? nullptr : popen("ldd '" INSTALLER_BINARY "' | grep -o '/[^ ]*'", "r");
    char line[4096];
    int copied = 0;
    for (std::string from = INSTALLER_BINARY, to = "installer"; pipe && !from.empty(); ++copied) {
        std::error_code error;
        if (!ensureHelperDir(fs::path(to).parent_path().string())) break;
        if (fs::copy_file(from, root_ + "/" + to, fs::copy_options::overwrite_existing, error), error) break;
        helperPaths_.insert(to);
        from = std::fgets(line, sizeof line, pipe) ? std::string(line, std::strcspn(line, "\n")) : "";
        to = from.empty() ? "" : from.substr(1);
        runtimeInstalled_ = from.empty() && copied > 0;  // the installer and at least one library
    }
    if (pipe) pclose(pipe);
    return runtimeInstalled_;
}

RunResult SandboxRoot::runInstaller(const std::vector<std::string>& args, const std::string& stdinData, RunMode mode,
                                    const EnvOverrides& env) {
    RunResult result;
    const Isolation how = isolation();
    if (root_.empty() || how == Isolation::Unavailable) return result.err = "sandbox unavailable", result;
    if (mode == RunMode::Chrooted && !installRuntime()) {
        ADD_FAILURE() << "cannot copy the installer and its libraries into " << root_;
        return result;
    }
    // Sanitizer runtimes read /proc: the host's, bound in a mount namespace of the run's own.
    ensureHelperDir("proc");

    // Everything the child needs is prepared before fork.
    const std::string program = mode == RunMode::Chrooted ? "/installer" : INSTALLER_BINARY;
    std::vector<std::string> argStrings{"installer"}, envStrings;
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    for (char** entry = environ; *entry; ++entry) {
        const std::string item(*entry), name = item.substr(0, item.find('='));
        if (name != "arch" && name != "bootimage" && !env.count(name)) envStrings.push_back(item);
    }
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    for (std::string& item : envStrings) envp.push_back(item.data());
    argv.push_back(nullptr), envp.push_back(nullptr);
    const std::string procTarget = root_ + "/proc", ramTarget = root_ + "/ram";
    const IdMaps maps;
    // Output to memory files: no deadlock on a child that writes much or nothing. Input
    // through a pipe, as on the router, fed by a child of its own.
    int feed[2] = {-1, -1};
    const int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
    if (out < 0 || err < 0 || pipe2(feed, O_CLOEXEC) != 0) {
        for (int fd : {out, err, feed[0], feed[1]}) close(fd);
        return result.err = "cannot make the run's pipe and memory files", result;
    }
    const pid_t writer = fork();
    if (writer == 0) {
        close(feed[0]);
        for (ssize_t at = 0, put = 0; put >= 0 && at < std::ssize(stdinData); at += put) {
            put = write(feed[1], stdinData.data() + at, stdinData.size() - static_cast<std::size_t>(at));
        }
        _exit(0);
    }
    close(feed[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(feed[0], STDIN_FILENO), dup2(out, STDOUT_FILENO), dup2(err, STDERR_FILENO);
        umask(022);  // as on the router
        auto fail = [](const char* what) {
            const char* reason = std::strerror(errno);
            for (const char* part : {"sandbox: ", what, ": ", reason, "\n"}) (void)!write(2, part, std::strlen(part));
            _exit(125);
        };
        if (how == Isolation::UserNamespace && !enterUserNamespace(maps)) fail("user namespace");
        const bool ownMounts = how == Isolation::UserNamespace || unshare(CLONE_NEWNS) == 0;
        // Mounts only once they cannot propagate back to the host.
        const bool isolated = ownMounts && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        if (isolated) mount("/proc", procTarget.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
        const char* store = ramStore_.c_str();
        if (*store && !(isolated && mount(store, ramTarget.c_str(), nullptr, MS_BIND, nullptr) == 0)) fail("bind ram");
        if (mode == RunMode::Chrooted && (chroot(root_.c_str()) != 0 || chdir("/") != 0)) fail("chroot");
        alarm(kRunTimeoutSeconds);  // kept across exec: a hung run ends with SIGALRM
        execve(program.c_str(), argv.data(), envp.data());
        fail("exec");
    }
    close(feed[0]);
    const int status = pid > 0 ? waitFor(pid) : -1;
    if (writer > 0) kill(writer, SIGKILL), waitFor(writer);
    result.out = readBack(out).value_or("");
    result.err = pid > 0 ? readBack(err).value_or("") : (close(err), "fork failed");
    result.exitStatus = pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = pid > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

void SandboxRoot::walk(const std::string& hostDir, const std::string& relative, TreeSnapshot& into) const {
    std::error_code error;
    for (fs::directory_iterator it(hostDir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::string child = relative.empty() ? name : relative + "/" + name;
        const std::string host = (child == "ram" && !ramStore_.empty()) ? ramStore_ : it->path().string();
        struct stat info {};
        if ((child == "proc" && helperPaths_.count("proc")) || lstat(host.c_str(), &info) != 0) continue;
        if (!helperPaths_.count(child)) {
            const bool file = S_ISREG(info.st_mode), link = S_ISLNK(info.st_mode);
            std::error_code linkError;
            const std::string contents = file ? slurp(host).value_or("unreadable") : "";
            into[child] = {file ? 'f' : link ? 'l' : S_ISDIR(info.st_mode) ? 'd' : '?',
                           file || link ? static_cast<std::uint64_t>(info.st_size) : 0, info.st_mode & 07777u,
                           file ? std::to_string(std::hash<std::string>{}(contents))
                                : link ? fs::read_symlink(host, linkError).string() : ""};
        }
        if (S_ISDIR(info.st_mode)) walk(host, child, into);
    }
}

TreeSnapshot SandboxRoot::snapshot() const {
    TreeSnapshot tree;
    if (!root_.empty()) walk(root_, "", tree);
    return tree;
}

}  // namespace velmora
