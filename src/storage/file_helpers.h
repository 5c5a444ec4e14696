#pragma once
// Small file-system operations the change set is built on.

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace velmora {

// Directory part of path, trailing slashes ignored: "/a/b/" -> "/a", "x" -> ".".
std::string parentDir(std::string_view path);

// Creates path and its missing parents (mode 0777 before the umask).
void makeDirs(const std::string& path);

bool hasPrefix(std::string_view path, std::string_view prefix);

// Copies a regular file's contents and permission bits; with progress on,
// turns a one-character spinner on standard output.
bool copyFile(const std::string& source, const std::string& target, bool progress);

// The same into a new file that must not exist yet (EEXIST otherwise), with
// the source's permission bits whatever the umask; a failed copy leaves no
// file behind.
bool copyFileExclusive(const std::string& source, const std::string& target, bool progress);

// The nearest directory that exists at or above dir; empty for a path too
// long to exist.
std::string existingDirectory(std::string dir);

// The device of a directory, asked once and remembered for the next
// question about the same one (a run's files come directory by directory).
class DirectoryDevice {
public:
    // False when the directory cannot be asked.
    bool of(const std::string& dir, dev_t& device);

private:
    std::string dir_;
    dev_t device_ = 0;
    bool known_ = false;
};

// Kernel clock in hundredths of a second, offset by 30000.
std::uint32_t uptimeTicks();

}  // namespace velmora
