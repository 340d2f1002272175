// pool_bridge: the pool's side of the miner's protocol on 127.0.0.1, for
// tests. Prints "listening on 127.0.0.1:PORT" once it accepts connections
// and its counters when it stops (SIGTERM, SIGINT or the time limit).
#include <fcntl.h>
#include <fmt/format.h>
#include <httplib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "src/base/hex.hpp"
#include "tests/pool-bridge/bridge.hpp"
#include "tests/pool-bridge/options.hpp"
#include "tests/pool-bridge/sockets.hpp"
#include "tests/support/ed25519_sign.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t WORKER_THREADS = 32;  // long-polls and idle keep-alive connections each hold one

int signal_pipe[2] = {-1, -1};

void on_signal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

bool install_signal_handlers() {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0) return false;
    std::signal(SIGPIPE, SIG_IGN);  // a client may go away while its answer is written
    return true;
}

// Rotates jobs on the timer and waits for a signal, the time limit or the
// end of the server; then says why on standard error.
void watch(const BridgeOptions& options, JobBook& jobs) {
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(options.time_limit_s);
    const auto period = std::chrono::milliseconds(options.rotate_ms);
    auto next_rotation = options.rotate_ms ? start + period : Clock::time_point::max();
    while (true) {
        const auto now = Clock::now();
        if (now >= deadline) {
            fmt::print(stderr, "pool_bridge: time limit of {} s reached\n", options.time_limit_s);
            return;
        }
        if (now >= next_rotation) {
            jobs.rotate();
            next_rotation = std::max(next_rotation + period, now);
            continue;
        }
        const auto wake = std::min(deadline, next_rotation);
        const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        pollfd fd{signal_pipe[0], POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(std::min<long long>(timeout, 60'000))) > 0) {
            char byte = 0;
            if (::read(signal_pipe[0], &byte, 1) == 1 && byte != 0)
                fmt::print(stderr, "pool_bridge: {}, stopping\n", byte == SIGINT ? "SIGINT" : "SIGTERM");
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto options = parse_options(args);
    if (!options) {
        fmt::print(stderr, "pool_bridge: {:#} (see --help)\n", options.error());
        return 2;
    }
    if (options->help) {
        fmt::print("{}", BRIDGE_USAGE);
        return 0;
    }
    if (!install_signal_handlers()) {
        std::perror("pool_bridge: signal handlers");
        return 1;
    }

    std::unique_ptr<RequestLog> log;
    if (options->log_requests) {
        std::FILE* file = std::fopen(options->log_requests->c_str(), "ae");
        if (!file) {
            std::perror(fmt::format("pool_bridge: {}", *options->log_requests).c_str());
            return 1;
        }
        log = std::make_unique<RequestLog>(file);
    }
    std::optional<std::array<std::uint8_t, 32>> seed;
    if (options->sign) seed = *hex_decode_array<32>(TEST_POOL_KEY_SEED_HEX);
    JobBook jobs(options->share_target, options->block_target, options->nonce_prefix, seed, options->job_seed,
                 options->job_id_bytes, options->difficulty_text_bytes);
    Bridge bridge(*options, jobs, log.get());

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(WORKER_THREADS); };
    server.set_keep_alive_max_count(1000);
    server.set_tcp_nodelay(options->no_delay);
    server.set_socket_options(set_exclusive_listener_options);
    server.Post(
        ".*", [&](const httplib::Request& request, httplib::Response& response) { bridge.handle(request, response); });
    int port = options->port;
    if (port == 0)
        port = server.bind_to_any_port("127.0.0.1");
    else if (!server.bind_to_port("127.0.0.1", port))
        port = -1;
    if (port <= 0) {
        fmt::print(stderr, "pool_bridge: cannot listen on 127.0.0.1:{}: {}\n", options->port,
                   listen_refusal(options->port));
        return 1;
    }
    fmt::print("listening on 127.0.0.1:{}\n", port);
    std::fflush(stdout);

    std::atomic<bool> served{false};
    std::thread watcher([&] {
        watch(*options, jobs);
        jobs.stop();
        // stop() does nothing before the server runs, and an idle keep-alive
        // connection would hold it for seconds: repeat both until it ends.
        while (!served) {
            server.stop();
            shut_down_connections(port);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    server.listen_after_bind();
    served = true;
    const char wake = 0;
    [[maybe_unused]] const auto written = ::write(signal_pipe[1], &wake, 1);
    watcher.join();

    fmt::print("{}\n", bridge.counters_line());
    std::fflush(stdout);
    return 0;
}
