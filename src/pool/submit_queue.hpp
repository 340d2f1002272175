// Host-verified shares waiting to be sent: strongest first, each share once,
// bounded by dropping the weakest ordinary shares and never a block.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "src/base/bytes.hpp"
#include "src/base/clock.hpp"
#include "src/pool/job.hpp"
#include "src/pool/job_slot.hpp"
#include "src/pool/miner_stats.hpp"

struct Share {
    MonoTime found_at;
    std::shared_ptr<const Job> job;
    Bytes64 nonce;
    Bytes64 hash;
    std::uint32_t gpu_ordinal;
    bool is_block;
};

// Blocks first, then the smaller hash (bytes from byte 0).
bool ranks_before(const Share& a, const Share& b);

struct DedupKey {
    std::string id_prefix;
    Bytes64 nonce;
    bool operator==(const DedupKey&) const = default;
};

struct DedupKeyHash {
    std::size_t operator()(const DedupKey& key) const;
};

// Answers, for a share's full job id, whether to keep the share.
using JobPredicate = std::function<bool(std::string_view job_id)>;

inline constexpr std::size_t DEDUP_CAPACITY = 4096;

struct SubmitQueue {
    SubmitQueue(std::shared_ptr<MinerStats> counters, std::size_t submit_queue_option)
        : stats(std::move(counters)), capacity(submit_queue_option > 0 ? submit_queue_option : 1) {}

    std::shared_ptr<MinerStats> stats;
    std::mutex lock;
    std::vector<Share> shares;  // sorted by ranks_before
    std::deque<DedupKey> dedup_order;
    std::unordered_set<DedupKey, DedupKeyHash> dedup_set;
    bool closed = false;
    const std::size_t capacity;
    const std::size_t dedup_capacity = DEDUP_CAPACITY;
    std::condition_variable wakeup;
};

void queue_push(SubmitQueue& queue, Share share, const JobPredicate& live);

// Drops every ordinary share whose job `keep` refuses; blocks stay. Returns
// how many were dropped.
std::size_t queue_retain(SubmitQueue& queue, const JobPredicate& keep);

// One-way; wakes every waiter.
void queue_close(SubmitQueue& queue);

std::size_t queue_len(SubmitQueue& queue);

inline constexpr std::chrono::milliseconds TAKE_WAIT_SLICE{200};

// For a submit worker: drop the ordinary shares whose job is no longer live,
// then take the front share; with none, wait up to 200 ms for a push and try
// again. Nothing when the queue is closed and empty, or the wait ran out.
std::optional<Share> queue_take(SubmitQueue& queue, const JobSlot& slot);
