#include "tests/pool-bridge/options.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include "src/base/hex.hpp"
#include "src/pow/target.hpp"

const char* const BRIDGE_USAGE =
    "usage: pool_bridge [options]\n"
    "  --port N             listen on 127.0.0.1:N (0 or absent: a free port)\n"
    "  --time-limit-s N     exit after N seconds (default 300)\n"
    "  --rotate-ms N        a new job every N ms (default 0: only on bridge_rotate)\n"
    "  --rotate-every-answer  a new job in every getBlockTemplate answer, at once\n"
    "  --no-delay           answers sent at once (TCP_NODELAY), not some 40 ms later\n"
    "                       when the client's delayed acknowledgement comes\n"
    "  --share-target HEX   128 hex digits\n"
    "  --block-target HEX   128 hex digits, not above the share target\n"
    "  --nonce-prefix HEX   8 hex digits (default 0a0b0c0d)\n"
    "  --sign               sign templates with the test pool key\n"
    "  --max-wait-ms N      longest long-poll hold (default 60000)\n"
    "  --job-seed N         job ids and mining hashes drawn from seed N (default: random),\n"
    "                       so that a bridge restarted with the same seed serves the same jobs\n"
    "  --job-id-bytes N     job ids padded to N bytes before their '#' (default: unpadded)\n"
    "  --difficulty-text-bytes N  the templates' share and net difficulties as texts\n"
    "                       padded to N bytes with leading zeros (default: unpadded)\n"
    "  --log-requests FILE  append one JSON line per request\n"
    "  --fault FAULT        METHOD:MODE[:ARGS][@N|@*], repeatable; METHOD is getwork,\n"
    "                       submit or any; MODE is no-work[:RETRY_MS], reply:STATUS:BODY,\n"
    "                       served-reply:STATUS:BODY (the call served and counted as usual,\n"
    "                       then answered so, as by a gateway that timed out),\n"
    "                       reply-repeat:STATUS:COUNT:TEXT, redirect:N, redirect-loop,\n"
    "                       delay:MS, close, stale or hang (hold the request unanswered\n"
    "                       until the client gives up, or answer it at bridge_recover)\n";

namespace {

Result<std::uint64_t> parse_unsigned(std::string_view text, std::string_view what,
                                     std::uint64_t max = std::numeric_limits<std::uint64_t>::max()) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > max)
        return fail("{}: expected a whole number up to {}, got '{}'", what, max, text);
    return value;
}

// Splits off the text before the first ':'; nullopt when there is none.
std::optional<std::string_view> take_field(std::string_view& rest) {
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view field = rest.substr(0, colon);
    rest.remove_prefix(colon + 1);
    return field;
}

Result<int> parse_status(std::string_view text) {
    auto status = parse_unsigned(text, "HTTP status", 599);
    if (!status) return std::unexpected(status.error());
    if (*status < 100) return fail("HTTP status: expected 100 to 599, got {}", *status);
    return static_cast<int>(*status);
}

Result<void> parse_mode_arguments(Fault& fault, std::string_view mode, std::string_view args, bool has_args) {
    const auto no_args = [&]() -> Result<void> {
        if (has_args) return fail("{} takes no argument", mode);
        return {};
    };
    if (mode == "no-work") {
        fault.mode = FaultMode::no_work;
        if (!has_args) return {};
        auto retry = parse_unsigned(args, "retry_in_ms");
        if (!retry) return std::unexpected(retry.error());
        fault.retry_in_ms = *retry;
        return {};
    }
    if (mode == "reply" || mode == "served-reply") {
        fault.mode = mode == "reply" ? FaultMode::reply : FaultMode::served_reply;
        const auto status = take_field(args);
        if (!has_args || !status) return fail("{} needs STATUS:BODY", mode);
        auto parsed = parse_status(*status);
        if (!parsed) return std::unexpected(parsed.error());
        fault.status = *parsed;
        fault.text = std::string(args);
        return {};
    }
    if (mode == "reply-repeat") {
        fault.mode = FaultMode::reply_repeat;
        const auto status = take_field(args);
        const auto count = status ? take_field(args) : std::nullopt;
        if (!has_args || !count) return fail("reply-repeat needs STATUS:COUNT:TEXT");
        auto parsed = parse_status(*status);
        if (!parsed) return std::unexpected(parsed.error());
        auto repeat = parse_unsigned(*count, "repeat count", 1u << 30);
        if (!repeat) return std::unexpected(repeat.error());
        if (args.size() * *repeat > (std::uint64_t{1} << 30)) return fail("reply-repeat: body over 1 GiB");
        fault.status = *parsed;
        fault.repeat = *repeat;
        fault.text = std::string(args);
        return {};
    }
    if (mode == "redirect") {
        fault.mode = FaultMode::redirect;
        if (!has_args) return fail("redirect needs the number of hops");
        auto hops = parse_unsigned(args, "redirect hops", 1000);
        if (!hops) return std::unexpected(hops.error());
        if (*hops == 0) return fail("redirect hops: expected at least 1");
        fault.hops = *hops;
        return {};
    }
    if (mode == "delay") {
        fault.mode = FaultMode::delay;
        if (!has_args) return fail("delay needs milliseconds");
        auto ms = parse_unsigned(args, "delay", 3'600'000);
        if (!ms) return std::unexpected(ms.error());
        fault.delay_ms = *ms;
        return {};
    }
    if (mode == "redirect-loop") {
        fault.mode = FaultMode::redirect_loop;
        return no_args();
    }
    if (mode == "close") {
        fault.mode = FaultMode::close;
        return no_args();
    }
    if (mode == "hang") {
        fault.mode = FaultMode::hang;
        return no_args();
    }
    if (mode == "stale") {
        fault.mode = FaultMode::stale;
        if (fault.method == FaultMethod::any) return fail("stale applies to getwork or submit, not any");
        return no_args();
    }
    return fail("unknown fault mode '{}'", mode);
}

}  // namespace

Result<Fault> parse_fault(std::string_view text) {
    Fault fault;
    // A trailing "@digits" or "@*" is the count; any other '@' belongs to the body.
    if (const std::size_t at = text.rfind('@'); at != std::string_view::npos) {
        const std::string_view count = text.substr(at + 1);
        if (count == "*") {
            fault.count = std::nullopt;
            text = text.substr(0, at);
        } else if (!count.empty() && count.find_first_not_of("0123456789") == std::string_view::npos) {
            auto parsed = parse_unsigned(count, "fault count");
            if (!parsed) return std::unexpected(parsed.error());
            if (*parsed == 0) return fail("fault count: expected at least 1");
            fault.count = *parsed;
            text = text.substr(0, at);
        }
    }
    std::string_view rest = text;
    const auto method = take_field(rest);
    if (!method) return fail("expected METHOD:MODE");
    if (*method == "getwork")
        fault.method = FaultMethod::getwork;
    else if (*method == "submit")
        fault.method = FaultMethod::submit;
    else if (*method == "any")
        fault.method = FaultMethod::any;
    else
        return fail("unknown fault method '{}' (getwork, submit or any)", *method);
    const auto mode = take_field(rest);
    if (auto parsed = parse_mode_arguments(fault, mode.value_or(rest), rest, mode.has_value()); !parsed)
        return std::unexpected(parsed.error());
    return fault;
}

namespace {

constexpr std::string_view VALUE_OPTIONS[] = {"--port",         "--time-limit-s", "--rotate-ms",
                                              "--max-wait-ms",  "--share-target", "--block-target",
                                              "--nonce-prefix", "--log-requests", "--fault",
                                              "--job-seed",     "--job-id-bytes", "--difficulty-text-bytes"};

Result<void> apply_option(BridgeOptions& options, std::string_view name, std::string_view value) {
    const auto number = [&](std::uint64_t& field, std::uint64_t max) -> Result<void> {
        auto parsed = parse_unsigned(value, name, max);
        if (!parsed) return std::unexpected(parsed.error());
        field = *parsed;
        return {};
    };
    if (name == "--port") {
        std::uint64_t port = 0;
        auto parsed = number(port, 65535);
        options.port = static_cast<std::uint16_t>(port);
        return parsed;
    }
    if (name == "--time-limit-s") return number(options.time_limit_s, 86'400);
    if (name == "--rotate-ms") return number(options.rotate_ms, 86'400'000);
    if (name == "--max-wait-ms") return number(options.max_wait_ms, 86'400'000);
    if (name == "--job-seed") {
        std::uint64_t seed = 0;
        if (auto parsed = number(seed, std::numeric_limits<std::uint64_t>::max()); !parsed) return parsed;
        options.job_seed = seed;
        return {};
    }
    if (name == "--job-id-bytes") return number(options.job_id_bytes, 16u << 20);
    if (name == "--difficulty-text-bytes") return number(options.difficulty_text_bytes, 16u << 20);
    if (name == "--share-target" || name == "--block-target") {
        auto target = parse_target_hex(value);
        if (!target) return std::unexpected(target.error().context(std::string(name)));
        (name == "--share-target" ? options.share_target : options.block_target) = *target;
        return {};
    }
    if (name == "--nonce-prefix") {
        auto prefix = hex_decode_array<4>(value);
        if (!prefix) return std::unexpected(prefix.error().context("--nonce-prefix"));
        options.nonce_prefix = *prefix;
        return {};
    }
    if (name == "--log-requests") {
        options.log_requests = std::string(value);
        return {};
    }
    if (name == "--fault") {
        auto fault = parse_fault(value);
        if (!fault) return std::unexpected(fault.error().context(fmt::format("--fault {}", value)));
        options.faults.push_back(std::move(*fault));
        return {};
    }
    return fail("unknown option '{}'", name);
}

}  // namespace

Result<BridgeOptions> parse_options(std::span<const std::string> args) {
    BridgeOptions options;
    options.share_target = *parse_target_hex(DEFAULT_SHARE_TARGET);
    options.block_target = *parse_target_hex(DEFAULT_BLOCK_TARGET);
    options.nonce_prefix = *hex_decode_array<4>(DEFAULT_NONCE_PREFIX);

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name = args[i];
        std::optional<std::string_view> value;
        if (const std::size_t eq = name.find('='); name.starts_with("--") && eq != std::string_view::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "--help" || name == "-h" || name == "--sign" || name == "--rotate-every-answer" ||
            name == "--no-delay") {
            if (value) return fail("{} takes no value", name);
            bool& flag = name == "--sign"                  ? options.sign
                         : name == "--rotate-every-answer" ? options.rotate_every_answer
                         : name == "--no-delay"            ? options.no_delay
                                                           : options.help;
            flag = true;
            continue;
        }
        if (std::ranges::find(VALUE_OPTIONS, name) == std::end(VALUE_OPTIONS))
            return fail("unknown option '{}'", args[i]);
        if (!value) {
            if (i + 1 >= args.size()) return fail("{} needs a value", name);
            value = args[++i];
        }
        if (auto applied = apply_option(options, name, *value); !applied) return std::unexpected(applied.error());
    }

    const Bytes64 zero{};
    if (options.share_target == zero || options.block_target == zero) return fail("a target must be above zero");
    if (hash_meets_target(options.share_target, options.block_target))
        return fail("the share target is below the block target");
    return options;
}
