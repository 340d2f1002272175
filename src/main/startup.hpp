// The top of the process: the entry point, the signal handler and `run`, the
// start-up sequence from the parsed command line to the running threads,
// then the main loop and the shutdown.
#pragma once

#include <optional>
#include <string>

#include "src/base/error.hpp"
#include "src/cli/cli.hpp"
#include "src/main/main_loop.hpp"
#include "src/main/miner_threads.hpp"
#include "src/tune/autotune.hpp"

// What start-up reads besides the command line and the environment; the
// process's own unless a test brings its own.
struct StartupSeams {
    std::string hostname_path = "/etc/hostname";
    LineOutput lines = console_lines();
};

inline constexpr std::string_view DEV_ADDRESS_PLACEHOLDER = "REPLACE_WITH_DEV_ADDRESS";
inline constexpr std::string_view INTERNAL_RIG_VARIABLE = "VEZEZIRUZ_INTERNAL";

// The whole life of the miner after parsing: how the shutdown ended after
// the summary, success after the self-test mode, or the first start-up error.
Result<ShutdownEnd> run(const Cli& cli, const StartupSeams& seams = StartupSeams{});

// Parses the command line, runs, and on an error prints "error: " and its
// chain on standard error; the process status.
int process_main(int argc, char** argv);

// SIGINT, SIGTERM and SIGHUP: counts the signal in STOP_SIGNALS and sets
// SHUTDOWN_REQUESTED, two atomic operations and nothing else.
void on_signal(int signal_number);

// --worker as given, else the trimmed contents of `hostname_path`, else "gpu".
std::string worker_name(const std::optional<std::string>& option, const std::string& hostname_path);

// The dev-fee address, none when the dev fee is off, or why the start-up
// refuses: --no-dev-fee needs an internal rig; the address comes from
// --dev-address or the compiled-in one, and must not be the placeholder.
Result<std::optional<std::string>> dev_fee_address(const Cli& cli, bool internal_rig, std::string_view compiled_in);

// Why the start-up refuses --require-signed-jobs when the compiled-in pool
// key is the placeholder: no job could ever be mined.
Result<void> check_signed_jobs_key(const Cli& cli, std::string_view compiled_in);

// Whether VEZEZIRUZ_INTERNAL is present and exactly "1".
bool internal_rig();
