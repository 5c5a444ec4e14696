#include "storage/file_helpers.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace velmora {

namespace {

constexpr std::size_t kCopyChunk = 16384;
constexpr std::uint32_t kSpinnerStepTicks = 20;
constexpr char kSpinnerChars[] = "|/-\\";

// The spinner turns on across every copy of the run, not per file.
std::uint32_t spinnerLastTick = 0;
unsigned spinnerIndex = 0;

void spinnerStep() {
    if (spinnerLastTick == 0) {
        spinnerLastTick = uptimeTicks();
        std::fputc(kSpinnerChars[spinnerIndex], stdout);
        spinnerIndex = (spinnerIndex + 1) % 4;
        std::fflush(stdout);
        return;
    }
    if (uptimeTicks() - spinnerLastTick > kSpinnerStepTicks) {
        // Grows by a fixed step so a long stall does not reset the rhythm.
        spinnerLastTick += kSpinnerStepTicks;
        std::fputc('\b', stdout);
        std::fputc(kSpinnerChars[spinnerIndex], stdout);
        spinnerIndex = (spinnerIndex + 1) % 4;
        std::fflush(stdout);
    }
}

// Closes fd without letting close() disturb the errno of an earlier failure.
void closeKeepingErrno(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

}  // namespace

std::string parentDir(std::string_view path) {
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') {
        --end;
    }
    std::vector<char> buffer(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(end));
    buffer.push_back('\0');
    // dirname may write into its argument and may return a static string.
    return std::string(::dirname(buffer.data()));
}

void makeDirs(const std::string& path) {
    // No path this long can be created (the kernel refuses it), so neither
    // can anything that needs it; stop before walking thousands of parents.
    if (path.size() >= PATH_MAX) {
        return;
    }
    // Iterative form of "make the parent, then try again", so that a path of
    // many components cannot exhaust the stack.
    std::vector<std::string> missing;
    std::string current = path;
    for (;;) {
        if (::mkdir(current.c_str(), 0777) == 0 || errno == EEXIST) {
            break;
        }
        std::string parent = parentDir(current);
        missing.push_back(std::move(current));
        if (parent == missing.back()) {
            break;  // "/" or "." that cannot be made: nothing further up to try
        }
        current = std::move(parent);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        ::mkdir(it->c_str(), 0777);
    }
}

bool hasPrefix(std::string_view path, std::string_view prefix) {
    return path.substr(0, prefix.size()) == prefix;
}

namespace {

// Copies source's contents into target, opened with the given flags; the
// permission bits are set on the open file.
bool copyWith(const std::string& source, const std::string& target, bool progress, int openFlags) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | openFlags, st.st_mode & 07777);
    if (out < 0) {
        return false;
    }
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        closeKeepingErrno(out);
        return false;
    }
    if ((openFlags & O_EXCL) != 0) {
        ::fchmod(out, st.st_mode & 07777);  // whatever the umask took away
    }

    std::array<char, kCopyChunk> buffer;
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        if (got == 0) {
            break;
        }
        ssize_t put;
        do {
            put = ::write(out, buffer.data(), static_cast<std::size_t>(got));
        } while (put < 0 && errno == EINTR);
        if (put != got) {
            if (put >= 0) {
                errno = ENOSPC;  // a short write on a full device
            }
            ok = false;
            break;
        }
        if (progress) {
            spinnerStep();
        }
    }
    closeKeepingErrno(in);
    closeKeepingErrno(out);
    return ok;
}

}  // namespace

bool copyFile(const std::string& source, const std::string& target, bool progress) {
    return copyWith(source, target, progress, O_TRUNC);
}

bool copyFileExclusive(const std::string& source, const std::string& target, bool progress) {
    if (copyWith(source, target, progress, O_EXCL)) {
        return true;
    }
    if (errno != EEXIST) {
        const int error = errno;
        ::unlink(target.c_str());
        errno = error;
    }
    return false;
}

std::string existingDirectory(std::string dir) {
    if (dir.size() >= PATH_MAX) {
        return "";
    }
    for (;;) {
        struct stat st {};
        if ((::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) || dir == "/" || dir == ".") {
            return dir;
        }
        dir = parentDir(dir);
    }
}

bool DirectoryDevice::of(const std::string& dir, dev_t& device) {
    if (dir != dir_) {
        dir_ = dir;
        struct stat st {};
        known_ = ::stat(dir.c_str(), &st) == 0;
        device_ = st.st_dev;
    }
    device = device_;
    return known_;
}

std::uint32_t uptimeTicks() {
    // Called directly: the kernel's tick count, not the C library's view of it.
    long ticks = ::syscall(SYS_times, nullptr);
    std::uint32_t value = ticks == -1 ? 0u - static_cast<std::uint32_t>(errno)
                                      : static_cast<std::uint32_t>(static_cast<unsigned long>(ticks));
    return value + 30000u;
}

}  // namespace velmora
