#pragma once
// Scratch directories and small tmpfs mounts for the storage tests.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velmora::storage_test {

inline std::string readFile(const std::string& path) { std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}}; }
inline void writeFile(const std::string& path, const std::string& bytes) { std::ofstream(path) << bytes; }
inline bool exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

// A fresh directory under /tmp, removed with everything mounted in it.
class ScratchDir {
public:
    ScratchDir() { char name[] = "/tmp/storage-test-XXXXXX"; path_ = ::mkdtemp(name) ? name : "/nonexistent"; }
    ~ScratchDir() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
        std::error_code ignored; std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
    // A tmpfs of so many bytes at relative; false where this process may not mount (the test skips).
    bool mount(const std::string& relative, unsigned long bytes, bool readOnly = false) {
        const std::string at = *this / relative, size = "size=" + std::to_string(bytes);
        if (::mkdir(at.c_str(), 0755), ::mount("tmpfs", at.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, size.c_str()))
            return false;
        return mounts_.push_back(at), true;
    }

private:
    std::string path_; std::vector<std::string> mounts_;
};

}  // namespace velmora::storage_test
