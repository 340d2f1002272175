// The bridge's command line: job parameters, limits and the scripted faults.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/base/bytes.hpp"
#include "src/base/error.hpp"
#include "src/pool/job_template.hpp"

enum class FaultMethod { getwork, submit, any };

enum class FaultMode { no_work, reply, served_reply, reply_repeat, redirect, redirect_loop, delay, close, stale, hang };

// One --fault: applies to the next `count` requests of its method (nullopt:
// to all of them, for ever).
struct Fault {
    FaultMethod method = FaultMethod::any;
    FaultMode mode = FaultMode::no_work;
    std::optional<std::uint64_t> retry_in_ms;  // no-work
    int status = 0;                            // reply, reply-repeat
    std::string text;                          // reply: the body; reply-repeat: the repeated piece
    std::uint64_t repeat = 0;                  // reply-repeat
    std::uint64_t hops = 0;                    // redirect
    std::uint64_t delay_ms = 0;                // delay
    std::optional<std::uint64_t> count = 1;
};

struct BridgeOptions {
    std::uint16_t port = 0;  // 0: any free port
    std::uint64_t time_limit_s = 300;
    std::uint64_t rotate_ms = 0;  // 0: no timer
    std::uint64_t max_wait_ms = 60000;
    std::optional<std::uint64_t> job_seed;  // the same seed, the same jobs: a restarted bridge knows its old job
    std::uint64_t job_id_bytes = 0;         // 0: ids as short as they come
    std::uint64_t difficulty_text_bytes = 0;  // 0: the difficulties as they come
    bool rotate_every_answer = false;
    bool no_delay = false;  // TCP_NODELAY: an answer leaves at once, not after the client's delayed ACK
    Bytes64 share_target;
    Bytes64 block_target;
    NoncePrefix nonce_prefix;
    bool sign = false;
    std::optional<std::string> log_requests;
    std::vector<Fault> faults;
    bool help = false;
};

inline constexpr std::string_view DEFAULT_SHARE_TARGET =
    "0040ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
inline constexpr std::string_view DEFAULT_BLOCK_TARGET =
    "00000010ffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
    "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff";
inline constexpr std::string_view DEFAULT_NONCE_PREFIX = "0a0b0c0d";

extern const char* const BRIDGE_USAGE;

// METHOD:MODE[:ARGS][@N|@*]
Result<Fault> parse_fault(std::string_view text);

// The arguments after the program name; "--name value" or "--name=value".
Result<BridgeOptions> parse_options(std::span<const std::string> args);
