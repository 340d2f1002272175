#include "src/pool/job_template.hpp"

#include <fmt/format.h>

#include "src/base/hex.hpp"
#include "src/pool/ed25519.hpp"
#include "src/pool/pool_client.hpp"
#include "src/pow/target.hpp"
#include "src/ui/console_safe.hpp"

bool ACCEPT_UNSIGNED_JOBS = true;

namespace {

constexpr const char* UNSIGNED_REFUSAL = "job not signed (no 'sig' field) and --require-signed-jobs is set";
constexpr const char* BAD_SIGNATURE = "signature does not verify with the OvikPool key";
constexpr const char* NO_POOL_KEY = "this build has no OvikPool key (OVIK_POOL_PUBLIC_KEY): no signature verifies";

Error missing_field(std::string_view key) { return Error(fmt::format("champ {} absent", key)); }

// The member `key` as a string, or the "champ … absent" error.
Result<std::string_view> string_field(const nlohmann::json& tmpl, std::string_view key) {
    const auto it = tmpl.find(key);
    if (it == tmpl.end() || !it->is_string()) return std::unexpected(missing_field(key));
    return std::string_view(it->get_ref<const std::string&>());
}

Result<NoncePrefix> parse_nonce_prefix(std::string_view text) {
    while (text.starts_with("0x")) text.remove_prefix(2);
    auto bytes = hex_decode(text);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    if (bytes->size() != 4) return fail("nonce_prefix: expected 4 bytes");
    NoncePrefix prefix;
    std::copy(bytes->begin(), bytes->end(), prefix.begin());
    return prefix;
}

std::optional<std::uint64_t> parse_height(const nlohmann::json& tmpl) {
    const auto it = tmpl.find("height");
    if (it == tmpl.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    const auto value = it->get<std::int64_t>();  // a value built in code may be a signed integer
    return value >= 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(value)) : std::nullopt;
}

// The compact JSON text of the value without its leading and trailing
// double quotes, cut as a line shows it; empty when absent. Only shown, so
// a job keeps no more of it than that: a pool's megabytes of difficulty
// would otherwise stay with every job a queued block still holds.
std::string difficulty_text(const nlohmann::json& tmpl, std::string_view key) {
    const auto it = tmpl.find(key);
    if (it == tmpl.end()) return "";
    const std::string text = it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::size_t first = text.find_first_not_of('"');
    if (first == std::string::npos) return "";
    return pool_text_cut(std::string_view(text).substr(first, text.find_last_not_of('"') - first + 1));
}

// Everything the signature covers, decoded (steps 1 to 7 of the checks).
struct DecodedTemplate {
    NoncePrefix nonce_prefix;
    Bytes64 share_target;
    Bytes64 block_target;
    std::string job_id;
    Bytes32 mining_hash;
};

Result<DecodedTemplate> decode_template(const nlohmann::json& tmpl) {
    if (!tmpl.is_object()) return std::unexpected(missing_field("nonce_prefix"));
    DecodedTemplate t;
    auto prefix_text = string_field(tmpl, "nonce_prefix");
    if (!prefix_text) return std::unexpected(prefix_text.error());
    auto prefix = parse_nonce_prefix(*prefix_text);
    if (!prefix) return std::unexpected(prefix.error());
    t.nonce_prefix = *prefix;
    for (auto [key, target] : {std::pair{"share_target", &t.share_target}, std::pair{"block_target", &t.block_target}}) {
        auto text = string_field(tmpl, key);
        if (!text) return std::unexpected(text.error());
        auto parsed = parse_target_hex(*text);
        if (!parsed) return std::unexpected(parsed.error());
        *target = *parsed;
    }
    if (hash_meets_target(t.share_target, t.block_target)) return fail("share_target < block_target");
    auto job_id = string_field(tmpl, "job_id");
    if (!job_id) return std::unexpected(job_id.error());
    if (job_id->size() > MAX_JOB_ID_BYTES)
        return fail("job_id: expected at most {} bytes, got {}", MAX_JOB_ID_BYTES, job_id->size());
    t.job_id = *job_id;
    auto mining_hash_text = string_field(tmpl, "mining_hash");
    if (!mining_hash_text) return std::unexpected(mining_hash_text.error());
    auto mining_hash = parse_hash_hex(*mining_hash_text);
    if (!mining_hash) return std::unexpected(mining_hash.error());
    t.mining_hash = *mining_hash;
    return t;
}

}  // namespace

std::optional<std::string> verify_job_signature(const nlohmann::json& tmpl, const std::vector<std::uint8_t>& message,
                                                std::string_view key_hex) {
    const auto sig = tmpl.find("sig");
    if (sig == tmpl.end() || !sig->is_string()) {
        if (ACCEPT_UNSIGNED_JOBS) return std::nullopt;
        return UNSIGNED_REFUSAL;
    }
    if (const auto alg = tmpl.find("sig_alg"); alg != tmpl.end() && alg->is_string() && *alg != SIGNATURE_SCHEME)
        return fmt::format("unknown signature scheme '{}'", pool_text_cut(alg->get<std::string>()));
    if (key_hex == POOL_PUBLIC_KEY_PLACEHOLDER) return NO_POOL_KEY;
    const auto key = hex_decode_array<32>(key_hex);
    const auto signature = hex_decode_array<64>(sig->get<std::string>());
    if (!key || !signature || !ed25519_verify(*key, message, *signature)) return BAD_SIGNATURE;
    return std::nullopt;
}

TemplateResult parse_template(const nlohmann::json& tmpl, const PoolClient& client) {
    auto decoded = decode_template(tmpl);
    if (!decoded) return TemplateError{std::move(decoded.error())};
    const DecodedTemplate& t = *decoded;
    const auto message =
        job_message(t.mining_hash, t.share_target, t.block_target, t.nonce_prefix, t.job_id, client.address);
    if (auto refusal = verify_job_signature(tmpl, message)) return SignatureRefusal{std::move(*refusal)};
    return std::make_shared<const Job>(Job{parse_height(tmpl), t.job_id, difficulty_text(tmpl, "share_difficulty"),
                                           difficulty_text(tmpl, "net_difficulty"), t.mining_hash, t.share_target,
                                           t.block_target, t.nonce_prefix, client.is_dev});
}
