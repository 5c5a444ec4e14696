#pragma once
// A scratch directory tree for the fuzz targets that touch the disk, made
// once per process and removed at its normal exit.
//
// The code under test deletes files by name (staged files, and the sources
// that a manifest names), and the fuzzers run as root: the targets that link
// throwaway_tree.cpp get an unlink that, while an UnlinkGuard lives, refuses
// every path outside the tree and records the refusals instead. libFuzzer's
// own deletions (of corpus files it replaced) happen outside the guard.

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::fuzz {

// The tree's absolute path, without a trailing "/"; created on first use
// (under /dev/shm when it is there, else /tmp). Aborts when it cannot be made.
const std::string& throwawayRoot();

// True when path lies lexically inside the tree: below its root and without
// a ".." component.
bool insideThrowaway(const std::string& path);

// The paths of the unlinks refused since the last call, oldest first.
std::vector<std::string> takeRefusedUnlinks();

class UnlinkGuard {
public:
    UnlinkGuard();
    ~UnlinkGuard();
    UnlinkGuard(const UnlinkGuard&) = delete;
    UnlinkGuard& operator=(const UnlinkGuard&) = delete;
};

// Writes bytes to path (creating or truncating it); aborts on failure.
void writeFile(const std::string& path, const char* data, std::size_t size);

// Removes everything below directory but directory itself.
void emptyDirectory(const std::string& directory);

}  // namespace velmora::fuzz
