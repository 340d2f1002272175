#include "tests/support/subprocess.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const ProcessOptions& options) {
    for (const auto& [name, value] : options.env) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::_Exit(127);
}

void send_signal(pid_t pid, const ProcessOptions& options, int out_fd) {
    if (options.interrupt_on_terminal && options.stdout_on_terminal) {
        const char interrupt = 0x03;
        [[maybe_unused]] const auto written = ::write(out_fd, &interrupt, 1);
    } else {
        ::kill(pid, options.signal);
    }
}

// Reads both descriptors until both are closed (a terminal reports EIO),
// sending the options' signal when its condition is met.
void drain(pid_t pid, const ProcessOptions& options, int out_fd, int err_fd, ProcessResult& result) {
    std::string& out = result.out;
    std::string& err = result.err;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open_count = 2;
    const auto started = std::chrono::steady_clock::now();
    bool armed = options.signal_when || options.signal_deadline.count() > 0;
    while (open_count > 0) {
        if (armed) {
            const bool seen = options.signal_when && out.find(*options.signal_when) != std::string::npos;
            const bool late = options.signal_deadline.count() > 0 &&
                              std::chrono::steady_clock::now() - started >= options.signal_deadline;
            if (seen || late) {
                send_signal(pid, options, out_fd);
                result.signalled_at = std::chrono::steady_clock::now();
                armed = false;
            }
        }
        if (::poll(fds, 2, armed ? 50 : -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

int wait_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) return {.status = -1, .out = "", .err = "pipe failed"};
    int out_fd = -1;
    pid_t pid;
    if (options.stdout_on_terminal) {
        pid = ::forkpty(&out_fd, nullptr, nullptr, nullptr);
        if (pid == 0) {
            ::dup2(err_pipe[1], 2);
            exec_child(argv, options);
        }
    } else {
        int out_pipe[2];
        if (::pipe2(out_pipe, O_CLOEXEC) != 0) return {.status = -1, .out = "", .err = "pipe failed"};
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out_pipe[1], 1);
            ::dup2(err_pipe[1], 2);
            exec_child(argv, options);
        }
        ::close(out_pipe[1]);
        out_fd = out_pipe[0];
    }
    ::close(err_pipe[1]);
    if (pid < 0) return {.status = -1, .out = "", .err = "fork failed"};
    ProcessResult result{.status = 0, .out = "", .err = ""};
    drain(pid, options, out_fd, err_pipe[0], result);
    result.status = wait_status(pid);
    return result;
}
