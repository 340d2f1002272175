// The jobs the bridge serves: the current one and those it superseded,
// long-poll holds on the current one, and the checks of a submitted nonce.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "src/base/bytes.hpp"
#include "src/pool/job_template.hpp"

struct BridgeJob {
    std::string id;  // "<serial>#<4 hex digits>", padded before the '#'; what precedes the '#' is the identity
    std::uint64_t height = 0;
    Bytes32 mining_hash{};
    bool stale_on_arrival = false;
};

enum class SubmitVerdict { stale, bad_prefix, duplicate, low_difficulty, share, late, block };

// Expected hashes per hash that meets the target: 2^512 / target.
double target_difficulty(const Bytes64& target);

class JobBook {
public:
    // Superseded jobs kept for classifying late submissions.
    static constexpr std::size_t KEPT_JOBS = 64;

    // `job_seed`: where job ids and mining hashes are drawn from; none: a random seed.
    // `job_id_bytes`: the length the ids are padded to; 0: none.
    // `difficulty_text_bytes`: the length the templates' difficulty texts are padded to; 0: none.
    JobBook(const Bytes64& share_target, const Bytes64& block_target, const NoncePrefix& nonce_prefix,
            std::optional<std::array<std::uint8_t, 32>> signing_seed, std::optional<std::uint64_t> job_seed,
            std::size_t job_id_bytes = 0, std::size_t difficulty_text_bytes = 0);

    BridgeJob current() const;
    // Installs a new current job and releases the long-polls.
    BridgeJob rotate();
    // Holds while `job_id` is the current job's id, for at most `wait` or
    // until stop(); then gives the current job.
    BridgeJob wait_for_change(std::string_view job_id, std::chrono::milliseconds wait);
    // Sleeps unless stop() comes first.
    void sleep_for(std::chrono::milliseconds duration);
    bool stopped() const;
    // Every later submission for the current job is stale.
    void make_current_stale();
    SubmitVerdict submit(std::string_view job_id, const Bytes64& nonce);
    // Ends every hold and sleep, now and later.
    void stop();

    // The template as sent to the miner that gave `address`.
    nlohmann::json template_json(const BridgeJob& job, std::string_view address) const;
    nlohmann::json share_difficulty() const { return share_difficulty_; }

private:
    BridgeJob make_job();  // with mutex_ held

    const Bytes64 share_target_;
    const Bytes64 block_target_;
    const NoncePrefix nonce_prefix_;
    const std::optional<std::array<std::uint8_t, 32>> signing_seed_;
    const nlohmann::json share_difficulty_;
    const std::string net_difficulty_;
    const nlohmann::json shown_share_difficulty_;  // in templates: padded when asked
    const std::string shown_net_difficulty_;
    const std::size_t job_id_bytes_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<BridgeJob> jobs_;                                      // oldest first, the current one last
    std::map<std::string, std::set<Bytes64>, std::less<>> accepted_;  // nonces by job identity
    std::uint64_t serial_ = 0;
    std::mt19937_64 random_;
    bool stopped_ = false;
};
