// Runs a program and collects its exit status, standard output and
// standard error; optionally with standard output on a pseudo-terminal.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
    // When the options' signal was sent, if it was.
    std::optional<std::chrono::steady_clock::time_point> signalled_at = std::nullopt;
};

struct ProcessOptions {
    // Environment changes: a value sets the variable, nullopt removes it.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    bool stdout_on_terminal = false;
    // Sends `signal` to the program once, as soon as its standard output
    // holds `signal_when`, or once `signal_deadline` has passed since the
    // start (0: no deadline), whichever comes first.
    std::optional<std::string> signal_when{};
    std::chrono::milliseconds signal_deadline{0};
    int signal = 2;  // SIGINT
    // Instead of `signal`, the terminal's interrupt character (^C) is typed
    // on it (needs `stdout_on_terminal`): SIGINT reaches the terminal's
    // foreground process group, as when a user presses Ctrl-C.
    bool interrupt_on_terminal = false;
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
