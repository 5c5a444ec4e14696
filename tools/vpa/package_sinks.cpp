#include "package_sinks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velmora {

int DiscardSink::create(const std::string& /*belowFlash*/, std::uint32_t /*size*/, std::uint16_t /*mode*/) {
    return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
}

int TreeSink::create(const std::string& belowFlash, std::uint32_t /*size*/, std::uint16_t mode) {
    const std::string path = root_ + belowFlash;
    // The directories on the way, as the installer makes them.
    for (std::size_t slash = root_.size() + 1; (slash = path.find('/', slash)) != std::string::npos; ++slash) {
        if (::mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    written_.push_back(belowFlash);
    return fd;
}

}  // namespace velmora
