#include "support/sandbox.h"

#include <fcntl.h>
#include <openssl/evp.h>
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
#include <sstream>

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
    if (fd >= 0) close(fd);
    return ok;
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
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
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

std::string sha1Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr) != 1) return "?";
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) text += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return text;
}

std::string describeEntry(const TreeEntry& entry) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", entry.mode);
    std::string text = std::string(1, entry.type) + " size=" + std::to_string(entry.size) + " mode=" + mode;
    if (!entry.digest.empty()) text += (entry.type == 'l' ? " -> " : " sha1=") + entry.digest;
    return text;
}

// The shared objects ldd lists for binary, the dynamic loader included.
std::vector<std::string> sharedObjectsOf(const std::string& binary) {
    std::vector<std::string> paths;
    std::FILE* pipe = popen(("ldd '" + binary + "' 2>/dev/null").c_str(), "r");
    if (!pipe) return paths;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream words(line);
        std::string candidate;
        for (std::string word; words >> word;) {
            if (word == "=>") candidate.clear();  // the resolved path follows the arrow
            else if (word[0] == '/' && candidate.empty()) candidate = word;
        }
        if (!candidate.empty()) paths.push_back(candidate);
    }
    pclose(pipe);
    return paths;
}

}  // namespace

std::optional<std::string> sandboxUnavailableReason() {
    if (isolation() != Isolation::Unavailable) return std::nullopt;
    return "sandbox roots need chroot: run the tests as root, or allow unprivileged user "
           "namespaces (`unshare -r` must work) so that they can run as root in one";
}

std::string describeChanges(const TreeSnapshot& before, const TreeSnapshot& after) {
    std::string changes;
    auto left = before.begin();
    auto right = after.begin();
    while (left != before.end() || right != after.end()) {
        if (right == after.end() || (left != before.end() && left->first < right->first)) {
            changes += "- " + (left++)->first + "\n";
        } else if (left == before.end() || right->first < left->first) {
            changes += "+ " + right->first + " (" + describeEntry(right->second) + ")\n";
            ++right;
        } else {
            if (!(left->second == right->second)) {
                changes += "~ " + left->first + " (" + describeEntry(left->second) + " => " +
                           describeEntry(right->second) + ")\n";
            }
            ++left, ++right;
        }
    }
    return changes;
}

SandboxRoot::SandboxRoot(SandboxLayout layout) {
    std::string pattern = std::string(kSandboxPrefix) + "XXXXXX";
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot create a sandbox directory: " << std::strerror(errno);
        return;
    }
    root_ = pattern;
    chmod(root_.c_str(), 0755);
    makeDirs("flash");
    makeDirs("rw");
    if (layout.bootDir) makeDirs("flash/boot");
    if (layout.packageDatabase) makeDirs("flash/var/pdb");
    if (!layout.ramOnOtherDevice) {
        makeDirs("ram");
        return;
    }
    // A store under /dev/shm, bound onto ram/ for each run: moves from /ram to /flash cross devices.
    std::string store = std::string(kRamStorePrefix) + "XXXXXX";
    struct stat rootInfo {}, storeInfo {};
    if (mkdtemp(store.data())) {
        if (stat(root_.c_str(), &rootInfo) == 0 && stat(store.c_str(), &storeInfo) == 0 &&
            rootInfo.st_dev != storeInfo.st_dev) {
            ramStore_ = store;
            chmod(ramStore_.c_str(), 0755);
            ensureHelperDir("ram");
        } else {
            rmdir(store.c_str());
        }
    }
    if (ramStore_.empty()) ADD_FAILURE() << "no second file system for ram/ under /dev/shm";
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
    fs::create_directories(hostPath(relative), error);
    return !error;
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
    struct stat info {};
    return lstat(hostPath(relative).c_str(), &info) == 0;
}

bool SandboxRoot::makeSymlink(std::string_view relative, const std::string& linkText) {
    return symlink(linkText.c_str(), hostPath(relative).c_str()) == 0;
}

std::optional<std::string> SandboxRoot::readLink(std::string_view relative) const {
    std::error_code error;
    fs::path text = fs::read_symlink(hostPath(relative), error);
    if (error) return std::nullopt;
    return text.string();
}

bool SandboxRoot::removeAll(std::string_view relative) {
    std::error_code error;
    fs::remove_all(hostPath(relative), error);
    return !error;
}

// Records each level it creates, so that snapshots leave out exactly the helper's own additions.
bool SandboxRoot::ensureHelperDir(const std::string& relative) {
    std::string sofar;
    std::istringstream parts(relative);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty()) continue;
        sofar += sofar.empty() ? part : "/" + part;
        if (mkdir((root_ + "/" + sofar).c_str(), 0755) == 0) helperPaths_.insert(sofar);
        else if (errno != EEXIST) return false;
    }
    return true;
}

bool SandboxRoot::installRuntime() {
    if (runtimeInstalled_) return true;
    std::vector<std::string> files = sharedObjectsOf(INSTALLER_BINARY);
    if (files.empty()) {
        ADD_FAILURE() << "ldd lists no libraries for " << INSTALLER_BINARY;
        return false;
    }
    // Copies, never links: a run writing through a hard link would change the host's libraries.
    auto copyIn = [&](const std::string& source, const std::string& relative) {
        const std::string parent = fs::path(relative).parent_path().string();
        const std::string target = root_ + "/" + relative;
        std::error_code error;
        if (!parent.empty() && !ensureHelperDir(parent)) return false;
        fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
        if (error || chmod(target.c_str(), 0755) != 0) return false;
        helperPaths_.insert(relative);
        return true;
    };
    files.insert(files.begin(), "");
    for (const std::string& library : files) {
        const std::string source = library.empty() ? INSTALLER_BINARY : library;
        if (!copyIn(source, library.empty() ? "installer" : library.substr(1))) {
            ADD_FAILURE() << "cannot copy " << source << " into " << root_;
            return false;
        }
    }
    return runtimeInstalled_ = true;
}

RunResult SandboxRoot::runInstaller(const std::vector<std::string>& args, const std::string& stdinData, RunMode mode,
                                    const EnvOverrides& env) {
    RunResult result;
    const Isolation how = isolation();
    if (root_.empty() || how == Isolation::Unavailable) {
        result.err = "sandbox unavailable";
        return result;
    }
    if (mode == RunMode::Chrooted && !installRuntime()) {
        result.err = "chroot runtime missing";
        return result;
    }
    // Sanitizer runtimes read /proc: the host's, bound in a mount namespace of the run's own.
    ensureHelperDir("proc");

    // Everything the child needs is prepared before fork.
    const std::string program = mode == RunMode::Chrooted ? "/installer" : INSTALLER_BINARY;
    std::vector<std::string> argStrings{"installer"}, envStrings;
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view item(*entry);
        const std::string name(item.substr(0, item.find('=')));
        if (name != "arch" && name != "bootimage" && !env.count(name)) envStrings.emplace_back(item);
    }
    for (const auto& [name, value] : env) {
        if (value) envStrings.push_back(name + "=" + *value);
    }
    std::vector<char*> argv, envp;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    for (std::string& item : envStrings) envp.push_back(item.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string procTarget = root_ + "/proc", ramTarget = root_ + "/ram";
    const IdMaps maps;
    // Output to memory files: no deadlock on a child that writes much or nothing. Input
    // through a pipe, as on the router, fed by a child of its own.
    int feed[2] = {-1, -1};
    const int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
    if (out < 0 || err < 0 || pipe2(feed, O_CLOEXEC) != 0) {
        for (int fd : {out, err, feed[0], feed[1]}) close(fd);
        result.err = "cannot make the run's pipe and memory files";
        return result;
    }
    const pid_t writer = fork();
    if (writer == 0) {
        close(feed[0]);
        for (std::size_t at = 0; at < stdinData.size();) {
            const ssize_t put = write(feed[1], stdinData.data() + at, stdinData.size() - at);
            if (put <= 0) _exit(0);
            at += static_cast<std::size_t>(put);
        }
        _exit(0);
    }
    close(feed[1]);
    const int in = feed[0];

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, STDIN_FILENO), dup2(out, STDOUT_FILENO), dup2(err, STDERR_FILENO);
        umask(022);  // as on the router
        auto fail = [](const char* what) {
            const char* reason = std::strerror(errno);
            for (const char* part : {"sandbox: ", what, ": ", reason, "\n"}) (void)!write(2, part, std::strlen(part));
            _exit(125);
        };
        bool ownMounts = false;
        if (how == Isolation::UserNamespace) {
            if (!enterUserNamespace(maps)) fail("user namespace");
            ownMounts = true;
        } else {
            ownMounts = unshare(CLONE_NEWNS) == 0;
        }
        // Mounts only once they cannot propagate back to the host.
        if (ownMounts && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            mount("/proc", procTarget.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
            if (!ramStore_.empty() && mount(ramStore_.c_str(), ramTarget.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                fail("bind ram");
            }
        } else if (!ramStore_.empty()) {
            fail("private mount namespace");
        }
        if (mode == RunMode::Chrooted && (chroot(root_.c_str()) != 0 || chdir("/") != 0)) fail("chroot");
        alarm(kRunTimeoutSeconds);  // kept across exec: a hung run ends with SIGALRM
        execve(program.c_str(), argv.data(), envp.data());
        fail("exec");
    }
    close(in);
    const int status = pid > 0 ? waitFor(pid) : -1;
    if (writer > 0) kill(writer, SIGKILL), waitFor(writer);
    result.out = readBack(out).value_or("");
    result.err = pid > 0 ? readBack(err).value_or("") : (close(err), "fork failed");
    if (pid > 0 && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (pid > 0 && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.timedOut = result.signal == SIGALRM;
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
            TreeEntry& entry = into[child];
            entry.mode = info.st_mode & 07777;
            if (S_ISREG(info.st_mode)) {
                entry.type = 'f';
                entry.size = static_cast<std::uint64_t>(info.st_size);
                const std::optional<std::string> contents = slurp(host);
                entry.digest = contents ? sha1Hex(*contents) : "unreadable";
            } else if (S_ISDIR(info.st_mode)) {
                entry.type = 'd';
            } else if (S_ISLNK(info.st_mode)) {
                entry.type = 'l';
                entry.size = static_cast<std::uint64_t>(info.st_size);
                std::error_code linkError;
                entry.digest = fs::read_symlink(host, linkError).string();
                if (linkError) entry.digest = "?";
            }
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
