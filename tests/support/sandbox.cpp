#include "support/sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>

extern char** environ;

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSandboxPattern = "/tmp/velmora-sandbox-XXXXXX";
constexpr const char* kRamStorePattern = "/dev/shm/velmora-ram-XXXXXX";
constexpr const char* kSandboxPrefix = "/tmp/velmora-sandbox-";
constexpr const char* kRamStorePrefix = "/dev/shm/velmora-ram-";
constexpr const char* kChrootBinary = "/installer";
constexpr int kRunTimeoutSeconds = 60;

enum class Isolation {
    Root,           // chroot and mount namespaces available as they are
    UserNamespace,  // a new user namespace per run makes us root in it
    Unavailable,
};

// Maps the caller's ids to root in a user namespace just entered. Only
// async-signal-safe calls: this runs between fork and exec.
bool writeFileRaw(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t length = std::strlen(text);
    bool ok = write(fd, text, length) == static_cast<ssize_t>(length);
    close(fd);
    return ok;
}

struct IdMaps {
    char uidMap[64];
    char gidMap[64];
};

IdMaps idMapsForCaller() {
    IdMaps maps{};
    std::snprintf(maps.uidMap, sizeof maps.uidMap, "0 %u 1\n", static_cast<unsigned>(getuid()));
    std::snprintf(maps.gidMap, sizeof maps.gidMap, "0 %u 1\n", static_cast<unsigned>(getgid()));
    return maps;
}

bool enterUserNamespace(const IdMaps& maps) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    // setgroups must be denied before an unprivileged gid_map is accepted;
    // kernels without the file do not need it.
    writeFileRaw("/proc/self/setgroups", "deny");
    return writeFileRaw("/proc/self/uid_map", maps.uidMap) &&
           writeFileRaw("/proc/self/gid_map", maps.gidMap);
}

bool probeChild(bool userNamespace) {
    IdMaps maps = idMapsForCaller();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (userNamespace && !enterUserNamespace(maps)) _exit(1);
        _exit(chroot("/") == 0 ? 0 : 2);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Isolation isolation() {
    static const Isolation value = [] {
        if (geteuid() == 0 && probeChild(false)) return Isolation::Root;
        if (probeChild(true)) return Isolation::UserNamespace;
        return Isolation::Unavailable;
    }();
    return value;
}

std::string sha1Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr) != 1) return "?";
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0xF];
    }
    return text;
}

std::optional<std::string> slurp(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return contents.str();
}

std::string describeEntry(const TreeEntry& entry) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", entry.mode);
    std::string text(1, entry.type);
    text += " size=" + std::to_string(entry.size) + " mode=" + mode;
    if (!entry.digest.empty()) text += (entry.type == 'l' ? " -> " : " sha1=") + entry.digest;
    return text;
}

// Paths of the shared objects that ldd lists for binary, the dynamic
// loader included.
std::vector<std::string> sharedObjectsOf(const std::string& binary) {
    std::vector<std::string> paths;
    std::string command = "ldd '" + binary + "' 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return paths;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream words(line);
        std::string word;
        std::string candidate;
        while (words >> word) {
            if (word == "=>") {
                candidate.clear();  // the resolved path follows the arrow
                continue;
            }
            if (word[0] == '/' && candidate.empty()) candidate = word;
        }
        if (!candidate.empty()) paths.push_back(candidate);
    }
    pclose(pipe);
    return paths;
}

void setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::int64_t nowMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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
            changes += "- " + left->first + "\n";
            ++left;
        } else if (left == before.end() || right->first < left->first) {
            changes += "+ " + right->first + " (" + describeEntry(right->second) + ")\n";
            ++right;
        } else {
            if (!(left->second == right->second)) {
                changes += "~ " + left->first + " (" + describeEntry(left->second) + " => " +
                           describeEntry(right->second) + ")\n";
            }
            ++left;
            ++right;
        }
    }
    return changes;
}

SandboxRoot::SandboxRoot(SandboxLayout layout) {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "%s", kSandboxPattern);
    if (!mkdtemp(pattern)) {
        ADD_FAILURE() << "cannot create a sandbox directory: " << std::strerror(errno);
        return;
    }
    root_ = pattern;
    chmod(root_.c_str(), 0755);
    makeDirs("flash");
    makeDirs("rw");
    if (layout.bootDir) makeDirs("flash/boot");
    if (layout.packageDatabase) makeDirs("flash/var/pdb");

    if (layout.ramOnOtherDevice) {
        char storePattern[64];
        std::snprintf(storePattern, sizeof storePattern, "%s", kRamStorePattern);
        struct stat rootStat {};
        struct stat storeStat {};
        if (mkdtemp(storePattern)) {
            if (stat(root_.c_str(), &rootStat) == 0 && stat(storePattern, &storeStat) == 0 &&
                rootStat.st_dev != storeStat.st_dev) {
                ramStore_ = storePattern;
                chmod(ramStore_.c_str(), 0755);
                ensureHelperDir("ram");  // the mount point itself
            } else {
                rmdir(storePattern);
            }
        }
        if (ramStore_.empty()) ADD_FAILURE() << "no second file system for ram/ under /dev/shm";
    } else {
        makeDirs("ram");
    }
}

SandboxRoot::~SandboxRoot() {
    std::error_code ignored;
    // Only ever remove what this helper made; remove_all does not follow
    // symbolic links, so a link out of the sandbox cannot take anything along.
    if (root_.rfind(kSandboxPrefix, 0) == 0) fs::remove_all(root_, ignored);
    if (ramStore_.rfind(kRamStorePrefix, 0) == 0) fs::remove_all(ramStore_, ignored);
}

std::string SandboxRoot::hostPath(std::string_view relative) const {
    while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
    if (!ramStore_.empty() && relative.substr(0, 3) == "ram" &&
        (relative.size() == 3 || relative[3] == '/')) {
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
    std::string target = hostPath(relative);
    std::error_code error;
    fs::create_directories(fs::path(target).parent_path(), error);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    return out.good() && chmod(target.c_str(), mode) == 0;
}

std::optional<std::string> SandboxRoot::readFile(std::string_view relative) const {
    return slurp(hostPath(relative));
}

bool SandboxRoot::exists(std::string_view relative) const {
    struct stat info {};
    return lstat(hostPath(relative).c_str(), &info) == 0;
}

bool SandboxRoot::makeSymlink(std::string_view relative, const std::string& linkText) {
    return symlink(linkText.c_str(), hostPath(relative).c_str()) == 0;
}

std::optional<std::string> SandboxRoot::readLink(std::string_view relative) const {
    char text[4096];
    ssize_t length = readlink(hostPath(relative).c_str(), text, sizeof text);
    if (length < 0) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

bool SandboxRoot::removeAll(std::string_view relative) {
    std::error_code error;
    fs::remove_all(hostPath(relative), error);
    return !error;
}

bool SandboxRoot::ensureHelperDir(const std::string& relative) {
    // Records every directory level it creates, so that snapshots leave out
    // exactly the helper's own additions.
    std::string sofar;
    std::istringstream parts(relative);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        sofar += sofar.empty() ? part : "/" + part;
        std::string host = root_ + "/" + sofar;
        if (mkdir(host.c_str(), 0755) == 0) {
            helperPaths_.insert(sofar);
        } else if (errno != EEXIST) {
            return false;
        }
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
    // Copies, never links: a run that wrote through a hard link would
    // change the host's own libraries.
    auto copyIn = [&](const std::string& source, const std::string& relative) {
        std::string parent = fs::path(relative).parent_path().string();
        if (!parent.empty() && !ensureHelperDir(parent)) return false;
        std::string target = root_ + "/" + relative;
        std::error_code error;
        fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);  // follows links
        if (error || chmod(target.c_str(), 0755) != 0) return false;
        helperPaths_.insert(relative);
        return true;
    };
    if (!copyIn(INSTALLER_BINARY, std::string(kChrootBinary).substr(1))) {
        ADD_FAILURE() << "cannot copy the installer into " << root_;
        return false;
    }
    for (const std::string& library : files) {
        if (!copyIn(library, library.substr(1))) {
            ADD_FAILURE() << "cannot copy " << library << " into " << root_;
            return false;
        }
    }
    runtimeInstalled_ = true;
    return true;
}

RunResult SandboxRoot::runInstaller(const std::vector<std::string>& args, const std::string& stdinData,
                                    RunMode mode, const EnvOverrides& env) {
    RunResult result;
    Isolation how = isolation();
    if (root_.empty() || how == Isolation::Unavailable) {
        result.err = "sandbox unavailable";
        return result;
    }
    if (mode == RunMode::Chrooted && !installRuntime()) {
        result.err = "chroot runtime missing";
        return result;
    }
    // Sanitizer runtimes read /proc (LeakSanitizer at exit among them): the
    // run sees the host's /proc bound into the root, in its own mount
    // namespace so that nothing outside the run ever sees the mount.
    ensureHelperDir("proc");

    // Everything the child needs is prepared before fork.
    const std::string program = mode == RunMode::Chrooted ? kChrootBinary : INSTALLER_BINARY;
    std::vector<std::string> argStrings{"installer"};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view item(*entry);
        std::string name(item.substr(0, item.find('=')));
        if (name == "arch" || name == "bootimage" || env.count(name)) continue;
        envStrings.emplace_back(item);
    }
    for (const auto& [name, value] : env) {
        if (value) envStrings.push_back(name + "=" + *value);
    }
    std::vector<char*> envp;
    for (std::string& item : envStrings) envp.push_back(item.data());
    envp.push_back(nullptr);

    const std::string procTarget = root_ + "/proc";
    const std::string ramTarget = root_ + "/ram";
    const IdMaps maps = idMapsForCaller();

    int inPipe[2];
    int outPipe[2];
    int errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) return result;
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        close(inPipe[0]);
        close(inPipe[1]);
        return result;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1]}) close(fd);
        return result;
    }
    // A child that never reads its input must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        std::signal(SIGPIPE, SIG_DFL);
        umask(022);  // as on the router, whatever the test runner's umask
        auto fail = [](const char* what) {
            const char* reason = std::strerror(errno);
            (void)!write(STDERR_FILENO, "sandbox: ", 9);
            (void)!write(STDERR_FILENO, what, std::strlen(what));
            (void)!write(STDERR_FILENO, ": ", 2);
            (void)!write(STDERR_FILENO, reason, std::strlen(reason));
            (void)!write(STDERR_FILENO, "\n", 1);
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
            if (!ramStore_.empty() &&
                mount(ramStore_.c_str(), ramTarget.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                fail("bind ram");
            }
        } else if (!ramStore_.empty()) {
            fail("private mount namespace");
        }
        if (mode == RunMode::Chrooted) {
            if (chroot(root_.c_str()) != 0) fail("chroot");
            if (chdir("/") != 0) fail("chdir");
        }
        execve(program.c_str(), argv.data(), envp.data());
        fail("exec");
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        for (int fd : {inPipe[1], outPipe[0], errPipe[0]}) close(fd);
        result.err = "fork failed";
        return result;
    }

    int inFd = inPipe[1];
    setNonBlocking(inFd);
    std::size_t written = 0;
    if (stdinData.empty()) {
        close(inFd);
        inFd = -1;
    }
    int outFd = outPipe[0];
    int errFd = errPipe[0];
    const std::int64_t deadline = nowMilliseconds() + kRunTimeoutSeconds * 1000;
    while (outFd >= 0 || errFd >= 0) {
        std::int64_t left = deadline - nowMilliseconds();
        if (left <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int count = 0;
        auto watch = [&](int fd, short events) {
            if (fd >= 0) fds[count++] = pollfd{fd, events, 0};
        };
        watch(outFd, POLLIN);
        watch(errFd, POLLIN);
        watch(inFd, POLLOUT);
        if (poll(fds, static_cast<nfds_t>(count), static_cast<int>(left)) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inFd) {
                ssize_t n = write(inFd, stdinData.data() + written, stdinData.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == stdinData.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (fds[i].fd == outFd ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                int& which = fds[i].fd == outFd ? outFd : errFd;
                close(which);
                which = -1;
            }
        }
    }
    for (int fd : {inFd, outFd, errFd}) {
        if (fd >= 0) close(fd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

void SandboxRoot::walk(const std::string& hostDir, const std::string& relative, TreeSnapshot& into) const {
    std::error_code error;
    for (fs::directory_iterator it(hostDir, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        std::string childRelative = relative.empty() ? name : relative + "/" + name;
        std::string childHost = (childRelative == "ram" && !ramStore_.empty()) ? ramStore_
                                                                               : it->path().string();
        if (childRelative == "proc" && helperPaths_.count("proc")) continue;
        struct stat info {};
        if (lstat(childHost.c_str(), &info) != 0) continue;
        bool isDirectory = S_ISDIR(info.st_mode);
        if (!helperPaths_.count(childRelative)) {
            TreeEntry entry;
            entry.mode = info.st_mode & 07777;
            if (S_ISREG(info.st_mode)) {
                entry.type = 'f';
                entry.size = static_cast<std::uint64_t>(info.st_size);
                std::optional<std::string> contents = slurp(childHost);
                entry.digest = contents ? sha1Hex(*contents) : "unreadable";
            } else if (isDirectory) {
                entry.type = 'd';
            } else if (S_ISLNK(info.st_mode)) {
                entry.type = 'l';
                entry.size = static_cast<std::uint64_t>(info.st_size);
                char text[4096];
                ssize_t length = readlink(childHost.c_str(), text, sizeof text);
                entry.digest = length >= 0 ? std::string(text, static_cast<std::size_t>(length)) : "?";
            }
            into[childRelative] = entry;
        }
        if (isDirectory) walk(childHost, childRelative, into);
    }
}

TreeSnapshot SandboxRoot::snapshot() const {
    TreeSnapshot tree;
    if (!root_.empty()) walk(root_, "", tree);
    return tree;
}

}  // namespace velmora
