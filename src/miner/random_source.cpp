#include "src/miner/random_source.hpp"

#include <sys/random.h>

#include <cerrno>

Result<void> os_random(std::span<std::uint8_t> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = getrandom(out.data() + filled, out.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("getrandom: {}", os_error_text(errno));
        }
        filled += static_cast<std::size_t>(n);
    }
    return {};
}
