#include "system_random.h"

#include <sys/random.h>

#include <cerrno>

namespace velmora {

bool systemRandomBytes(std::uint8_t* out, std::size_t count) {
    std::size_t filled = 0;
    while (filled < count) {
        // Blocks until the kernel's pool is initialised, which is what a
        // key wants; requests of this size are never cut short otherwise.
        ssize_t got = ::getrandom(out + filled, count - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace velmora
