#include "src/miner/random_source.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

Result<void> os_random(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = getrandom(out.data() + filled, out.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("getrandom: {} (os error {})", std::strerror(errno), errno);
        }
        filled += static_cast<std::size_t>(n);
    }
    return {};
}
