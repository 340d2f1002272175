#include "src/cli/cli.hpp"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <limits>
#include <type_traits>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "src/base/unicode.hpp"
#include "src/cli/decimal.hpp"
#include "src/cli/did_you_mean.hpp"
#include "src/pool/masked_url.hpp"

namespace {

constexpr const char* ABOUT =
    "ovik_dtc — Quantus CUDA miner for datacenter GPUs (A100 / H100 / H200 / B200), OvikPool";

// The default texts shown in the help, produced once per process.
struct DefaultTexts {
    std::string wait_ms, stats_every, throttle_ms, cap, submit_threads, submit_queue, hashrate_hint,
        dev_fee_period_s;
};

const DefaultTexts& cli_default_value_init() {
    static const DefaultTexts texts = [] {
        const Cli defaults;
        return DefaultTexts{fmt::format("{}", defaults.wait_ms),        fmt::format("{}", defaults.stats_every),
                            fmt::format("{}", defaults.throttle_ms),    fmt::format("{}", defaults.cap),
                            fmt::format("{}", defaults.submit_threads), fmt::format("{}", defaults.submit_queue),
                            fmt::format("{}", defaults.hashrate_hint),  fmt::format("{}", defaults.dev_fee_period_s)};
    }();
    return texts;
}

CLI::Validator decimal_integer(std::int64_t min, std::uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& text) {
            const std::string reason = check_decimal_integer(text, min, max);
            return reason.empty() ? reason : fmt::format("invalid value '{}': {}", text, reason);
        },
        "");
}

CLI::Validator decimal_float() {
    return CLI::Validator(
        [](std::string& text) {
            const std::string reason = check_decimal_float(text);
            return reason.empty() ? reason : fmt::format("invalid value '{}': {}", text, reason);
        },
        "");
}

template <typename T>
struct unwrap_optional {
    using type = T;
};
template <typename T>
struct unwrap_optional<std::optional<T>> {
    using type = T;
};

// The decimal check that matches a field's type.
template <typename T>
CLI::Validator number_check() {
    if constexpr (std::is_floating_point_v<T>)
        return decimal_float();
    else
        return decimal_integer(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
}

// An option that takes one value; numbers are checked as decimal text in
// the range of the field's type. Repeats are refused before parsing
// (bind_values); the policy keeps the parser from merging them anyway.
template <typename T>
CLI::Option* add_value(CLI::App& app, const char* name, T& field, const char* value_name, const char* help,
                       const std::string& default_text = "") {
    CLI::Option* option = app.add_option(name, field, help)
                              ->type_name(value_name)
                              ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    using Value = typename unwrap_optional<T>::type;
    if constexpr (std::is_arithmetic_v<Value>) option->check(number_check<Value>());
    if (!default_text.empty()) option->default_str(default_text);
    return option;
}

CLI::Option* add_flag(CLI::App& app, const char* name, bool& field, const char* help) {
    return app.add_flag(name, field, help)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// Each occurrence of --gpu-list or --gpu-devices: split at every "," (an
// empty piece is an error, as it converts to nothing) and append in order.
void append_gpu_list(Cli& cli, const std::string& option, const std::string& value) {
    std::vector<std::int32_t>& list = cli.gpu_list ? *cli.gpu_list : cli.gpu_list.emplace();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        const std::string piece = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::string reason = check_decimal_integer(piece, INT32_MIN, INT32_MAX);
        if (!reason.empty())
            throw CLI::ValidationError(option, fmt::format("invalid value '{}': {}", piece, reason));
        list.push_back(static_cast<std::int32_t>(parse_decimal_integer(piece)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

CLI::Option* add_gpu_list(CLI::App& app, Cli& cli, const char* name, const char* help) {
    return app.add_option_function<std::string>(
           name, [&cli, name](const std::string& value) { append_gpu_list(cli, name, value); }, help)
        ->type_name("GPU_LIST")
        ->trigger_on_parse();
}

struct UsageError {
    std::string message;
    std::optional<std::string> tip;
};

// The long option of the table with this name ("--pool"), if any.
const CLI::Option* find_long_option(const CLI::App& app, std::string_view name) {
    for (const CLI::Option* option : app.get_options())
        for (const std::string& long_name : option->get_lnames())
            if (name == "--" + long_name) return option;
    return nullptr;
}

std::vector<std::string> visible_long_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options())
        if (!option->get_group().empty())
            for (const std::string& long_name : option->get_lnames()) names.push_back(long_name);
    return names;
}

std::string shown_name(const CLI::Option& option) {
    const std::string name = "--" + option.get_lnames().front();
    return option.get_expected_max() == 0 ? name : fmt::format("{} <{}>", name, option.get_type_name());
}

UsageError unexpected_argument(const CLI::App& app, const std::string& arg) {
    UsageError error{fmt::format("unexpected argument '{}' found", arg), std::nullopt};
    if (arg.starts_with("--")) {
        const std::string name = arg.substr(2, arg.find('=') - 2);
        if (auto similar = closest_candidate(name, visible_long_names(app)))
            error.tip = fmt::format("a similar argument exists: '--{}'", *similar);
    }
    return error;
}

bool is_gpu_list(const CLI::Option& option) {
    const std::string& name = option.get_lnames().front();
    return name == "gpu-list" || name == "gpu-devices";
}

bool looks_like_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

// Every value is text, and text goes on to the pool byte for byte: a value
// that is not UTF-8 would reach it repaired, so not as typed.
std::optional<UsageError> check_utf8_value(const CLI::Option& option, const std::string& value) {
    if (is_valid_utf8(value)) return std::nullopt;
    return UsageError{fmt::format("invalid value for '{}': invalid UTF-8 was detected", shown_name(option)),
                      std::nullopt};
}

// Binds values to options before the parser sees them, so that "--opt="
// gives an empty value and "--opt -x" is a missing value rather than the
// value "-x"; refuses unknown options (with a suggestion), positional
// arguments, values given to flags and repeated options. The parser then
// converts and stores the values of the table.
std::variant<std::vector<std::string>, UsageError> bind_values(const CLI::App& app,
                                                               const std::vector<std::string>& args) {
    std::vector<std::string> bound;
    std::vector<const CLI::Option*> seen;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {  // the rest is positional, and the table has no positional argument
            if (i + 1 < args.size()) return unexpected_argument(app, args[i + 1]);
            break;
        }
        if (arg == "-h" || arg == "-V") {
            bound.push_back(arg);
            continue;
        }
        if (!arg.starts_with("--")) return unexpected_argument(app, arg);
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const CLI::Option* option = find_long_option(app, name);
        if (option == nullptr) return unexpected_argument(app, arg);
        if (!is_gpu_list(*option)) {
            if (std::find(seen.begin(), seen.end(), option) != seen.end())
                return UsageError{fmt::format("the argument '{}' cannot be used multiple times", shown_name(*option)),
                                  std::nullopt};
            seen.push_back(option);
        }
        bound.push_back(name);
        if (option->get_expected_max() == 0) {  // a flag
            if (equals != std::string::npos)
                return UsageError{fmt::format("unexpected value '{}' for '{}' found; no more were expected",
                                              arg.substr(equals + 1), name),
                                  std::nullopt};
        } else if (equals != std::string::npos || (i + 1 < args.size() && !looks_like_option(args[i + 1]))) {
            std::string value = equals != std::string::npos ? arg.substr(equals + 1) : args[++i];
            if (auto refused = check_utf8_value(*option, value)) return *refused;
            bound.push_back(std::move(value));
        } else {
            return UsageError{fmt::format("a value is required for '{}' but none was supplied", shown_name(*option)),
                              std::nullopt};
        }
    }
    return bound;
}

std::string program_name(const std::vector<std::string>& args) {
    if (args.empty()) return CLI_COMMAND_NAME;
    const std::string& path = args[0];
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The usage error's text with every argument it quotes shown without a
// password, as the banner shows a URL: a service's journal keeps standard
// error. "--option=VALUE" may be quoted whole or by its value alone, and
// both hold the value.
std::string without_passwords(std::string message, const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t equals = arg.find('=');
        const std::string quoted = arg.starts_with("--") && equals != std::string::npos ? arg.substr(equals + 1) : arg;
        const std::string masked = masked_url(quoted);
        if (masked == quoted) continue;
        for (std::size_t at = message.find(quoted); at != std::string::npos;
             at = message.find(quoted, at + masked.size()))
            message.replace(at, quoted.size(), masked);
    }
    return message;
}

}  // namespace

void cli_build_args(CLI::App& app, Cli& cli) {
    const DefaultTexts& defaults = cli_default_value_init();
    app.description(ABOUT);
    app.set_version_flag("-V,--version", fmt::format("{} {}", CLI_COMMAND_NAME, CLI_VERSION));
    app.get_formatter()->column_width(36);

    add_value(app, "--pool", cli.pool, "POOL", "Pool getwork URL (JSON-RPC 2.0, POST /)", DEFAULT_POOL_URL);
    add_flag(app, "--cpu-spin", cli.cpu_spin,
             "Busy-wait on the GPU (one CPU core at 100 % per GPU, pre-1.5d behaviour). Default: blocking wait, "
             "~0 % CPU");
    add_value(app, "--address", cli.address, "ADDRESS", "Quantus SS58 address (qz…) credited for shares");
    add_value(app, "--worker", cli.worker, "WORKER", "Worker name (default: hostname)");
    add_gpu_list(app, cli, "--gpu-list", "GPUs to use, comma-separated CUDA indices (default: all)");
    add_value(app, "--iters", cli.iters, "ITERS",
              "Nonces per thread per batch (default: chosen per GPU by the start-up auto-tune)");
    add_value(app, "--blocks", cli.blocks, "BLOCKS",
              "CUDA blocks per batch (default: chosen per GPU by the start-up auto-tune)");
    add_value(app, "--kernel", cli.kernel, "KERNEL",
              "Kernel: auto (measured per GPU at start), energy (best when the card sits at its power limit) "
              "compact (fewer instructions), hb89, or fast89 (RTX 40 kernels)", "auto");
    add_flag(app, "--retune", cli.retune,
             "Ignore the cached per-GPU tuning and measure again (about 15 s per GPU)");
    add_flag(app, "--no-autotune", cli.no_autotune,
             "Skip the start-up auto-tune: use --kernel/--blocks/--threads/--iters as given (defaults: energy, "
             "SM×128×256×2)");
    add_value(app, "--threads", cli.threads, "THREADS", "Threads per block");
    add_value(app, "--selftest", cli.selftest, "FICHIER",
              "Replay the oracle vectors (header nonce hash, hex) on each GPU and exit (0 = all exact)");
    add_value(app, "--vectors", cli.vectors, "FICHIER",
              "Vector file replayed BEFORE mining (refuses to start if any vector differs)");
    add_value(app, "--wait-ms", cli.wait_ms, "WAIT_MS", "getBlockTemplate long-poll (ms)", defaults.wait_ms);
    add_value(app, "--stats-every", cli.stats_every, "STATS_EVERY", "Stats period (s)", defaults.stats_every);
    add_value(app, "--throttle-ms", cli.throttle_ms, "THROTTLE_MS",
              "Pause between batches (ms) — testing only (throttles throughput)", defaults.throttle_ms);
    add_value(app, "--cap", cli.cap, "CAP", "Max candidates reported per batch", defaults.cap);
    add_value(app, "--submit-threads", cli.submit_threads, "SUBMIT_THREADS",
              "Max concurrent HTTP submissions (throttles the rate to the bridge)", defaults.submit_threads);
    add_value(app, "--submit-queue", cli.submit_queue, "SUBMIT_QUEUE",
              "Max submission queue size; beyond it, the weakest candidates are dropped (never one that meets "
              "the block target)", defaults.submit_queue);
    add_value(app, "--hashrate-hint", cli.hashrate_hint, "HASHRATE_HINT",
              "Hashrate announced to the bridge (H/s) until a measurement is available (0 = no hint on the first "
              "template). The bridge uses it to set the first share difficulty = hashrate × vardiff_target_s", defaults.hashrate_hint);
    add_value(app, "--dev-address", cli.dev_address, "SS58",
              "SS58 address credited by the dev fee (default: `devfee::DEV_ADDRESS`). Used for testing and "
              "pre-production until the final address is compiled into the binary");
    add_value(app, "--dev-fee-period-s", cli.dev_fee_period_s, "DEV_FEE_PERIOD_S",
              "Dev fee period in seconds (multiple of 100; the dev window is period × 1/100 = 1% exactly). "
              "Default 1000 s = 990 s user + 10 s dev", defaults.dev_fee_period_s);
    add_flag(app, "--no-dev-fee", cli.no_dev_fee,
             "Internal rigs only (requires VEZEZIRUZ_INTERNAL=1): disables the dev fee. See README");
    add_flag(app, "--allow-unsigned-jobs", cli.allow_unsigned_jobs,
             "Deprecated since 2.0.0 (unsigned jobs are accepted by default); kept for old command lines")
        ->group("");
    add_flag(app, "--require-signed-jobs", cli.require_signed_jobs,
             "Restore the 1.8.0 behaviour: refuse every job that does not carry a valid OvikPool signature (by "
             "default 2.0.0 accepts unsigned jobs from any pool speaking this protocol; a signature that IS "
             "present is always verified)");
    add_gpu_list(app, cli, "--gpu-devices", "")->group("");
}

std::string cli_error_format(const std::string& message, const std::optional<std::string>& tip,
                             const std::string& program) {
    std::string text = fmt::format("error: {}\n\n", message);
    if (tip) text += fmt::format("  tip: {}\n\n", *tip);
    text += fmt::format("Usage: {} [OPTIONS]\n\nFor more information, try '--help'.\n", program);
    return text;
}

std::variant<Cli, CliExit> cli_parse_args(const std::vector<std::string>& args) {
    Cli cli;
    CLI::App app;
    app.name(program_name(args));
    cli_build_args(app, cli);

    auto bound = bind_values(app, args);
    if (auto* error = std::get_if<UsageError>(&bound))
        return CliExit{2, "",
                       cli_error_format(without_passwords(error->message, args), error->tip, program_name(args))};
    std::vector<std::string> reversed = std::get<std::vector<std::string>>(bound);
    std::reverse(reversed.begin(), reversed.end());  // the parser takes its arguments last first
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return CliExit{0, app.help(), ""};
    } catch (const CLI::CallForVersion& version) {
        return CliExit{0, std::string(version.what()) + "\n", ""};
    } catch (const CLI::ParseError& error) {
        return CliExit{2, "",
                       cli_error_format(without_passwords(error.what(), args), std::nullopt, program_name(args))};
    }
    return cli;
}

Cli cli_parse(int argc, char** argv) {
    auto parsed = cli_parse_args(std::vector<std::string>(argv, argv + argc));
    if (auto* cli = std::get_if<Cli>(&parsed)) return std::move(*cli);
    const CliExit& exit = std::get<CliExit>(parsed);
    std::fputs(exit.out.c_str(), stdout);
    std::fputs(exit.err.c_str(), stderr);
    std::fflush(stdout);
    std::exit(exit.status);
}
