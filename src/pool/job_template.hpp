// Job templates: what a pool hands out, its checks, and the optional
// Ed25519 signature with which the pool operator vouches for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "src/base/bytes.hpp"
#include "src/base/error.hpp"
#include "src/miner/job.hpp"
#include "src/pool/pool_key.hpp"

struct PoolClient;

inline constexpr std::string_view SIGNATURE_SCHEME = "ed25519-ovik-qtc-job-v1";

// The longest job id a template may carry. Pools hand out ids of tens of
// bytes (a counter, a hash in hex); four times the 256 bytes that any of
// them needs still keeps what the ids cost bounded: the duplicate memory's
// 4096 keys, each kept twice, stay under 10 MiB, and a lost block's line,
// which shows its id whole, under a few kilobytes. The signature could not
// tell apart ids past 65535 bytes anyway: it carries their length in 16 bits.
inline constexpr std::size_t MAX_JOB_ID_BYTES = 1024;

// Written once by the start-up before the poller starts: false with
// --require-signed-jobs.
extern bool ACCEPT_UNSIGNED_JOBS;

// The bytes a pool signs: the tag "ovik-qtc-job-v1\0", the mining hash, the
// share and block targets, the nonce prefix, then the job id and the
// address, each after its byte length as a big-endian 16-bit number.
std::vector<std::uint8_t> job_message(const Bytes32& mining_hash, const Bytes64& share_target,
                                      const Bytes64& block_target, const NoncePrefix& nonce_prefix,
                                      std::string_view job_id, std::string_view address);

// A template refused for its content; the poller reports it as a
// transport failure.
struct TemplateError {
    Error error;
};

// A template refused for its signature; the poller reports it as an
// unsigned job.
struct SignatureRefusal {
    std::string text;
};

using TemplateResult = std::variant<std::shared_ptr<const Job>, TemplateError, SignatureRefusal>;

// Checks the template field by field in a fixed order and stops at the
// first fault. The client supplies is_dev and the address that is signed.
TemplateResult parse_template(const nlohmann::json& tmpl, const PoolClient& client);

// Accepts (nullopt) or gives the refusal text. A signed job is checked
// against `key_hex` (the compiled-in pool key); with the placeholder it is
// refused before any verification.
std::optional<std::string> verify_job_signature(const nlohmann::json& tmpl, const std::vector<std::uint8_t>& message,
                                                std::string_view key_hex = POOL_PUBLIC_KEY);
