// The command line: the option table, the parsed record and what the
// process does on --help, --version and usage errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace CLI {
class App;
}

inline constexpr const char* CLI_COMMAND_NAME = "ovik_dtc";
inline constexpr const char* CLI_VERSION = "1.0.0";
inline constexpr const char* DEFAULT_POOL_URL = "http://127.0.0.1:9412";

// One field per option, in the order of the option table.
struct Cli {
    std::string pool = DEFAULT_POOL_URL;
    bool cpu_spin = false;
    std::optional<std::string> address;
    std::optional<std::string> worker;
    std::optional<std::vector<std::int32_t>> gpu_list;
    std::optional<std::uint32_t> iters;
    std::optional<std::uint32_t> blocks;
    std::string kernel = "auto";
    bool retune = false;
    bool no_autotune = false;
    std::optional<std::uint32_t> threads;
    std::optional<std::string> selftest;
    std::optional<std::string> vectors;
    std::uint64_t wait_ms = 20000;
    std::uint64_t stats_every = 10;
    std::uint64_t throttle_ms = 0;
    std::uint32_t cap = 256;
    std::size_t submit_threads = 4;
    std::size_t submit_queue = 64;
    double hashrate_hint = 0.0;
    std::optional<std::string> dev_address;
    std::uint64_t dev_fee_period_s = 1000;
    bool no_dev_fee = false;
    bool allow_unsigned_jobs = false;
    bool require_signed_jobs = false;
};

// What a parse that does not yield a record ends with: help or version on
// standard output with status 0, or a usage error on standard error with 2.
struct CliExit {
    int status;
    std::string out;
    std::string err;
};

// Adds the 25 options, the about text and the version to `app`, binding
// them to `cli`. The values of gpu_list pieces land in `cli` as they are
// parsed, so --gpu-list and --gpu-devices keep command-line order.
void cli_build_args(CLI::App& app, Cli& cli);

// args[0] is the program's path; the usage line names its last component.
std::variant<Cli, CliExit> cli_parse_args(const std::vector<std::string>& args);

// Parses the process arguments; on help, version or a usage error prints
// what the parse says and ends the process with its status.
Cli cli_parse(int argc, char** argv);

// A usage error as shown to the user: "error: " and the message, an
// optional tip, the usage line and the hint to try --help.
std::string cli_error_format(const std::string& message, const std::optional<std::string>& tip,
                             const std::string& program);
