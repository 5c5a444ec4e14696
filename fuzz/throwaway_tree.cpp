#include "throwaway_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace velmora::fuzz {
namespace {

std::vector<std::string> refused;
int guards = 0;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    // The real call: removal of the tree does not go through the guard.
    return static_cast<int>(::syscall(SYS_unlinkat, AT_FDCWD, path, 0)) == 0 ? 0
           : static_cast<int>(::syscall(SYS_unlinkat, AT_FDCWD, path, AT_REMOVEDIR));
}

void removeTree(const std::string& root, bool keepRoot) {
    ::nftw(root.c_str(), [](const char* path, const struct stat* st, int kind, struct FTW* at) {
        return at->level == 0 ? 0 : removeEntry(path, st, kind, at);
    }, 16, FTW_DEPTH | FTW_PHYS);
    if (!keepRoot) ::rmdir(root.c_str());
}

constexpr const char* kPrefix = "velmora-fuzz-";

// Trees left by fuzzers that crashed (their removal at exit never ran):
// the process named in the tree's name is gone.
void removeStaleTrees(const std::string& base) {
    DIR* dir = ::opendir(base.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    const std::size_t prefixLength = std::strlen(kPrefix);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, kPrefix, prefixLength) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name + prefixLength, &end, 10);
        if (pid <= 0 || *end != '-') continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(base + "/" + entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& path : stale) removeTree(path, false);
}

std::string makeRoot() {
    const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    removeStaleTrees(base);
    std::string pattern = base + "/" + kPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        std::perror("fuzz: mkdtemp");
        std::abort();
    }
    std::atexit([] { removeTree(throwawayRoot(), false); });
    return buffer.data();
}

}  // namespace

const std::string& throwawayRoot() {
    // Never destroyed: the removal at exit runs after static destructors.
    static const std::string& root = *new std::string(makeRoot());
    return root;
}

bool insideThrowaway(const std::string& path) {
    const std::string& root = throwawayRoot();
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') {
        return false;
    }
    // "/../" anywhere, or a trailing "/..", could climb out.
    return path.find("/../") == std::string::npos &&
           !(path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0);
}

std::vector<std::string> takeRefusedUnlinks() { return std::exchange(refused, {}); }

UnlinkGuard::UnlinkGuard() {
    throwawayRoot();
    ++guards;
}

UnlinkGuard::~UnlinkGuard() { --guards; }

void writeFile(const std::string& path, const char* data, std::size_t size) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || (size > 0 && std::fwrite(data, 1, size, out) != size) || std::fclose(out) != 0) {
        std::fprintf(stderr, "fuzz: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        std::abort();
    }
}

void emptyDirectory(const std::string& directory) { removeTree(directory, true); }

}  // namespace velmora::fuzz

// Takes the place of the C library's unlink for the code linked into the
// fuzz target (the installer's own calls bind to this definition).
extern "C" int unlink(const char* path) noexcept {
    using namespace velmora::fuzz;
    if (guards > 0 && !insideThrowaway(path)) {
        refused.emplace_back(path);
        errno = EACCES;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}
