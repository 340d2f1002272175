#include "src/base/text_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include "src/base/unicode.hpp"

namespace {

Error os_error(int code) { return Error(fmt::format("{} (os error {})", std::strerror(code), code)); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

Result<std::string> read_text_file(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return std::unexpected(os_error(errno));
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk, sizeof chunk);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    if (!is_valid_utf8(text)) return fail("stream did not contain valid UTF-8");
    return text;
}
