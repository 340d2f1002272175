#include "tests/pool-bridge/jobs.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/hex.hpp"
#include "src/pow/target.hpp"
#include "tests/support/ed25519_sign.hpp"

namespace {

std::string_view identity_of(std::string_view job_id) { return job_id.substr(0, job_id.find('#')); }

nlohmann::json difficulty_number(double difficulty) {
    if (difficulty < 0x1p53) return static_cast<std::uint64_t>(std::llround(difficulty));
    return difficulty;
}

// The difficulty's text with leading zeros up to `bytes`; as it is when 0.
nlohmann::json padded_difficulty(const nlohmann::json& difficulty, std::size_t bytes) {
    if (bytes == 0) return difficulty;
    const std::string text = difficulty.is_string() ? difficulty.get<std::string>() : difficulty.dump();
    return std::string(bytes > text.size() ? bytes - text.size() : 0, '0') + text;
}

}  // namespace

double target_difficulty(const Bytes64& target) {
    double value = 0;
    for (const std::uint8_t byte : target) value = value * 256 + byte;
    return 0x1p512 / value;
}

JobBook::JobBook(const Bytes64& share_target, const Bytes64& block_target, const NoncePrefix& nonce_prefix,
                 std::optional<std::array<std::uint8_t, 32>> signing_seed, std::optional<std::uint64_t> job_seed,
                 std::size_t job_id_bytes, std::size_t difficulty_text_bytes)
    : share_target_(share_target),
      block_target_(block_target),
      nonce_prefix_(nonce_prefix),
      signing_seed_(signing_seed),
      share_difficulty_(difficulty_number(target_difficulty(share_target))),
      net_difficulty_(fmt::format("{:.0f}", std::floor(target_difficulty(block_target)))),
      shown_share_difficulty_(padded_difficulty(share_difficulty_, difficulty_text_bytes)),
      shown_net_difficulty_(padded_difficulty(net_difficulty_, difficulty_text_bytes)),
      job_id_bytes_(job_id_bytes),
      random_(job_seed ? *job_seed : std::random_device{}()) {
    jobs_.push_back(make_job());
}

BridgeJob JobBook::make_job() {
    BridgeJob job;
    ++serial_;
    const std::string serial = std::to_string(serial_);
    const std::string tail = fmt::format("#{:04x}", random_() & 0xffff);
    const std::size_t unpadded = serial.size() + tail.size();
    job.id = serial + std::string(job_id_bytes_ > unpadded ? job_id_bytes_ - unpadded : 0, 'x') + tail;
    job.height = serial_;
    for (std::size_t i = 0; i < job.mining_hash.size(); i += 8) {
        const std::uint64_t word = random_();
        std::memcpy(job.mining_hash.data() + i, &word, 8);
    }
    return job;
}

BridgeJob JobBook::current() const {
    std::lock_guard lock(mutex_);
    return jobs_.back();
}

BridgeJob JobBook::rotate() {
    BridgeJob job;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(make_job());
        if (jobs_.size() > KEPT_JOBS + 1) {
            accepted_.erase(std::string(identity_of(jobs_.front().id)));
            jobs_.pop_front();
        }
        job = jobs_.back();
    }
    changed_.notify_all();
    return job;
}

BridgeJob JobBook::wait_for_change(std::string_view job_id, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return stopped_ || jobs_.back().id != job_id; });
    return jobs_.back();
}

void JobBook::sleep_for(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, duration, [&] { return stopped_; });
}

bool JobBook::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void JobBook::make_current_stale() {
    std::lock_guard lock(mutex_);
    jobs_.back().stale_on_arrival = true;
}

void JobBook::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

SubmitVerdict JobBook::submit(std::string_view job_id, const Bytes64& nonce) {
    std::lock_guard lock(mutex_);
    const auto job = std::find_if(jobs_.begin(), jobs_.end(), [&](const BridgeJob& j) { return j.id == job_id; });
    if (job == jobs_.end() || job->stale_on_arrival) return SubmitVerdict::stale;
    if (!std::equal(nonce_prefix_.begin(), nonce_prefix_.end(), nonce.begin())) return SubmitVerdict::bad_prefix;
    auto& accepted = accepted_[std::string(identity_of(job_id))];
    if (accepted.contains(nonce)) return SubmitVerdict::duplicate;

    std::uint8_t input[poseidon2::INPUT_LEN];
    std::memcpy(input, job->mining_hash.data(), job->mining_hash.size());
    std::memcpy(input + job->mining_hash.size(), nonce.data(), nonce.size());
    const Bytes64 hash = poseidon2::poseidon2_hash_bytes(input);
    if (!hash_meets_target(hash, share_target_)) return SubmitVerdict::low_difficulty;
    accepted.insert(nonce);
    if (hash_meets_target(hash, block_target_)) return SubmitVerdict::block;
    return &*job == &jobs_.back() ? SubmitVerdict::share : SubmitVerdict::late;
}

nlohmann::json JobBook::template_json(const BridgeJob& job, std::string_view address) const {
    nlohmann::json tmpl = {
        {"job_id", job.id},
        {"mining_hash", hex_encode(job.mining_hash)},
        {"share_target", hex_encode(share_target_)},
        {"block_target", hex_encode(block_target_)},
        {"nonce_prefix", hex_encode(nonce_prefix_)},
        {"height", job.height},
        {"share_difficulty", shown_share_difficulty_},
        {"net_difficulty", shown_net_difficulty_},
    };
    if (signing_seed_) {
        const auto message = job_message(job.mining_hash, share_target_, block_target_, nonce_prefix_, job.id, address);
        tmpl["sig"] = hex_encode(ed25519_sign(*signing_seed_, message));
        tmpl["sig_alg"] = SIGNATURE_SCHEME;
    }
    return tmpl;
}
