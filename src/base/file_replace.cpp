#include "src/base/file_replace.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>

namespace {

bool is_existing_directory(const std::filesystem::path& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// One message, as the start-up shows only an error's first.
std::unexpected<Error> lock_error(const std::filesystem::path& lock_path, int code) {
    return std::unexpected(Error(fmt::format("lock {}: {}", lock_path.string(), os_error_text(code))));
}

// "{path}.tmp.{pid}.{n}.{random}": a name no other save, in this process or
// another, picks.
std::filesystem::path temporary_name(const std::filesystem::path& path) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) random = 0;
    return fmt::format("{}.tmp.{}.{}.{:016x}", path.string(), ::getpid(), counter++, random);
}

// A new file beside `path`, by O_EXCL never one already there nor anything a
// link there points to; a name already taken is followed by another.
Result<std::pair<std::filesystem::path, int>> create_temporary_file(const std::filesystem::path& path) {
    constexpr int ATTEMPTS = 8;
    for (int attempt = 1;; ++attempt) {
        std::filesystem::path name = temporary_name(path);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return std::pair{std::move(name), fd};
        if (errno != EEXIST || attempt == ATTEMPTS) return std::unexpected(os_error(errno));
    }
}

Result<void> write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (put == 0) return fail("failed to write whole buffer");
        text.remove_prefix(static_cast<std::size_t>(put));
    }
    return {};
}

}  // namespace

// Tries the directory itself first and climbs only when a parent is missing,
// so an existing tree costs one call.
Result<void> make_directory_tree(const std::filesystem::path& dir) {
    if (dir.empty()) return {};
    if (::mkdir(dir.c_str(), 0777) == 0) return {};
    int code = errno;
    if (code != ENOENT) {
        if (is_existing_directory(dir)) return {};
        return std::unexpected(os_error(code));
    }
    const std::filesystem::path parent = dir.parent_path();
    if (parent != dir) {
        if (auto made = make_directory_tree(parent); !made) return made;
    }
    if (::mkdir(dir.c_str(), 0777) == 0) return {};
    code = errno;
    if (is_existing_directory(dir)) return {};
    return std::unexpected(os_error(code));
}

Result<OwnedFd> take_save_lock(const std::filesystem::path& lock_path, std::chrono::milliseconds wait) {
    const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return lock_error(lock_path, errno);
    }
    OwnedFd owned(fd);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return owned;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return lock_error(lock_path, errno);
        if (std::chrono::steady_clock::now() >= deadline)
            return fail("{} held by another save for {:.1f} s", lock_path.string(),
                        std::chrono::duration<double>(wait).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Result<void> replace_file(const std::filesystem::path& path, std::string_view text) {
    const auto created = create_temporary_file(path);
    if (!created) return std::unexpected(created.error());
    const auto& [temporary, fd] = *created;
    Result<void> done = write_all(fd, text);
    // On Linux the descriptor is gone even when close reports EINTR, so only
    // other errors (a delayed write error, say) count.
    if (::close(fd) != 0 && errno != EINTR && done) done = std::unexpected(os_error(errno));
    if (done && ::rename(temporary.c_str(), path.c_str()) != 0) done = std::unexpected(os_error(errno));
    if (!done) ::unlink(temporary.c_str());
    return done;
}
