// Runs a program and collects its exit status, standard output and
// standard error; optionally with standard output on a pseudo-terminal.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ProcessResult {
    int status;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // Environment changes: a value sets the variable, nullopt removes it.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    bool stdout_on_terminal = false;
};

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
