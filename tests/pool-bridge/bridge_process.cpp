#include "tests/pool-bridge/bridge_process.hpp"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::string_view LISTENING = "listening on 127.0.0.1:";
constexpr std::string_view COUNTERS = "bridge counters:";

// In the order the bridge prints them.
constexpr std::array<std::pair<std::string_view, std::uint64_t BridgeCounters::*>, 9> COUNTER_FIELDS = {{
    {"getwork", &BridgeCounters::getwork},
    {"submit", &BridgeCounters::submit},
    {"other", &BridgeCounters::other},
    {"accepted", &BridgeCounters::accepted},
    {"blocks", &BridgeCounters::blocks},
    {"late", &BridgeCounters::late},
    {"stale", &BridgeCounters::stale},
    {"duplicate", &BridgeCounters::duplicate},
    {"invalid", &BridgeCounters::invalid},
}};

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// The exit status once the child has ended within `timeout`.
std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return exit_status(status);
        if (got < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

}  // namespace

struct BridgeProcess::Output {
    std::mutex mutex;
    std::condition_variable grew;
    std::string out;
    std::string err;
    bool ended = false;
    std::thread reader;
};

std::ostream& operator<<(std::ostream& out, const BridgeCounters& counters) {
    out << "{";
    for (const auto& [name, field] : COUNTER_FIELDS)
        out << (name == "getwork" ? "" : " ") << name << "=" << counters.*field;
    return out << "}";
}

std::optional<BridgeCounters> parse_counters_line(std::string_view output) {
    const std::size_t start = output.rfind(COUNTERS);
    if (start == std::string_view::npos) return std::nullopt;
    std::string_view line = output.substr(start + COUNTERS.size());
    line = line.substr(0, line.find('\n'));
    BridgeCounters counters;
    for (const auto& [name, field] : COUNTER_FIELDS) {
        if (!line.starts_with(' ') || !line.substr(1).starts_with(name) || line.substr(1 + name.size(), 1) != "=")
            return std::nullopt;
        line.remove_prefix(name.size() + 2);
        const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), counters.*field);
        if (ec != std::errc()) return std::nullopt;
        line.remove_prefix(static_cast<std::size_t>(end - line.data()));
    }
    if (!line.empty()) return std::nullopt;
    return counters;
}

BridgeProcess::BridgeProcess(const std::vector<std::string>& args) : output_(std::make_shared<Output>()) {
    std::signal(SIGPIPE, SIG_IGN);
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("bridge: pipe failed");
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        throw std::runtime_error("bridge: pipe failed");
    }
    std::vector<std::string> argv = {POOL_BRIDGE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::execv(pointers[0], pointers.data());
        std::_Exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (pid_ < 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        throw std::runtime_error("bridge: fork failed");
    }

    output_->reader = std::thread([output = output_.get(), out_fd = out_pipe[0], err_fd = err_pipe[0]] {
        pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        std::string* sinks[2] = {&output->out, &output->err};
        for (int open = 2; open > 0;) {
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                char buffer[4096];
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                    continue;
                }
                std::lock_guard lock(output->mutex);
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
                output->grew.notify_all();
            }
        }
        for (const pollfd& fd : fds)
            if (fd.fd >= 0) ::close(fd.fd);
        std::lock_guard lock(output->mutex);
        output->ended = true;
        output->grew.notify_all();
    });

    std::string first_line;
    {
        std::unique_lock lock(output_->mutex);
        output_->grew.wait_for(lock, 10s,
                               [&] { return output_->ended || output_->out.find('\n') != std::string::npos; });
        first_line = output_->out.substr(0, output_->out.find('\n'));
    }
    if (first_line.starts_with(LISTENING)) {
        const std::string_view digits = std::string_view(first_line).substr(LISTENING.size());
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port_);
        if (ec == std::errc() && end == digits.data() + digits.size() && port_ > 0) return;
    }
    const ProcessResult failed = stop();
    throw std::runtime_error("bridge did not start (status " + std::to_string(failed.status) + "): " + failed.out +
                             failed.err);
}

BridgeProcess::~BridgeProcess() { stop(); }

std::string BridgeProcess::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

ProcessResult BridgeProcess::collect(int status) {
    output_->reader.join();
    result_ = ProcessResult{status, output_->out, output_->err};
    return *result_;
}

ProcessResult BridgeProcess::stop() {
    if (result_) return *result_;
    ::kill(pid_, SIGTERM);
    auto status = wait_child(pid_, 10s);
    if (!status) {
        ::kill(pid_, SIGKILL);
        status = wait_child(pid_, 10s);
    }
    return collect(status.value_or(-1));
}

std::optional<ProcessResult> BridgeProcess::wait_for_exit(std::chrono::milliseconds timeout) {
    if (result_) return result_;
    const auto status = wait_child(pid_, timeout);
    if (!status) return std::nullopt;
    return collect(*status);
}

nlohmann::json BridgeProcess::rpc(const std::string& method, const nlohmann::json& params) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(10s);
    const nlohmann::json call = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}};
    const auto response = client.Post("/", call.dump(), "application/json");
    if (!response) throw std::runtime_error("bridge " + method + ": " + httplib::to_string(response.error()));
    nlohmann::json answer = nlohmann::json::parse(response->body, nullptr, false);
    if (answer.is_discarded()) throw std::runtime_error("bridge " + method + ": not JSON: " + response->body);
    return answer;
}

BridgeCounters BridgeProcess::counters() const {
    const nlohmann::json result = rpc("bridge_counters").at("result");
    BridgeCounters counters;
    for (const auto& [name, field] : COUNTER_FIELDS)
        counters.*field = result.at(std::string(name)).get<std::uint64_t>();
    return counters;
}

std::string BridgeProcess::rotate() const { return rpc("bridge_rotate").at("result").at("job_id").get<std::string>(); }
