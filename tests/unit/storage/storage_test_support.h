#pragma once
// Scratch directories and small tmpfs mounts for the storage tests.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velmora::storage_test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

inline bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A fresh directory under /tmp, removed with everything mounted in it.
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/storage-test-XXXXXX";
        if (::mkdtemp(name) != nullptr) {
            path_ = name;
        }
    }
    ~ScratchDir() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
            if (::umount2(it->c_str(), 0) != 0) {
                ::umount2(it->c_str(), MNT_DETACH);
            }
        }
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

    // Mounts a tmpfs of the given size at relative (created when missing).
    // Returns why that is impossible here, or an empty text on success.
    std::string mountTmpfs(const std::string& relative, unsigned long bytes,
                                          bool readOnly = false) {
        if (::geteuid() != 0) {
            return "tmpfs mounts need root";
        }
        std::string where = *this / relative;
        ::mkdir(where.c_str(), 0755);
        std::string options = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", where.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) != 0) {
            return "cannot mount tmpfs at " + where + ": " + std::strerror(errno);
        }
        mounts_.push_back(where);
        return {};
    }

private:
    std::string path_;
    std::vector<std::string> mounts_;
};

}  // namespace velmora::storage_test
