#include "tests/pool-bridge/sockets.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int port_of(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// The accepted connections on `local_port` (from `remote_port` only, if given).
std::vector<int> connections(int local_port, std::optional<int> remote_port) {
    std::vector<int> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const std::string name = entry.path().filename().string();
        int fd = -1;
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) continue;
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || port_of(local) != local_port)
            continue;
        length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;  // the listener
        if (remote_port && port_of(peer) != *remote_port) continue;
        found.push_back(fd);
    }
    return found;
}

}  // namespace

void set_exclusive_listener_options(int fd) {
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

std::string listen_refusal(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    set_exclusive_listener_options(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reason = "unknown reason";
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)
        reason = std::strerror(errno);
    ::close(fd);
    return reason;
}

void shut_down_connections(int local_port, std::optional<int> remote_port) {
    for (const int fd : connections(local_port, remote_port)) ::shutdown(fd, SHUT_RDWR);
}

void wait_for_client_to_leave(int local_port, int remote_port, const std::function<bool()>& give_up,
                              std::chrono::milliseconds slice) {
    const std::vector<int> found = connections(local_port, remote_port);
    if (found.empty()) return;
    // The handler runs on the connection's own thread, so the library
    // cannot close the descriptor under this wait.
    pollfd connection{found.front(), POLLRDHUP, 0};
    while (!give_up()) {
        const int ready = ::poll(&connection, 1, static_cast<int>(slice.count()));
        if (ready > 0 && (connection.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return;
    }
}
