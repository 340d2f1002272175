#include "src/base/text_file.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "src/base/owned_fd.hpp"
#include "src/base/unicode.hpp"

namespace {

constexpr std::size_t NO_LIMIT = static_cast<std::size_t>(-1);

// Reads to the end, or fails once more than `max_bytes` have arrived (a
// file may grow after it was measured).
Result<std::string> read_to_end(int fd, std::size_t max_bytes) {
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (static_cast<std::size_t>(got) > max_bytes - text.size()) return fail("larger than {} bytes", max_bytes);
        text.append(chunk, static_cast<std::size_t>(got));
    }
    if (!is_valid_utf8(text)) return fail("stream did not contain valid UTF-8");
    return text;
}

}  // namespace

Result<std::string> read_text_file(const std::string& path) {
    OwnedFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::unexpected(os_error(errno));
    return read_to_end(file.get(), NO_LIMIT);
}

Result<std::string> read_regular_text_file(const std::string& path, std::size_t max_bytes) {
    // A device is not even opened (opening some has effects of its own); the
    // check on the open descriptor covers a swap in between.
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return std::unexpected(os_error(errno));
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");
    OwnedFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) return std::unexpected(os_error(errno));
    if (::fstat(file.get(), &info) != 0) return std::unexpected(os_error(errno));
    if (!S_ISREG(info.st_mode)) return fail("not a regular file");
    if (static_cast<std::uintmax_t>(info.st_size) > max_bytes) return fail("larger than {} bytes", max_bytes);
    return read_to_end(file.get(), max_bytes);
}
