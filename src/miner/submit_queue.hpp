// Host-verified shares waiting to be sent: strongest first, each share once,
// bounded by dropping the weakest ordinary shares, and a block only past the
// block bound, which no real pool comes near.
#pragma once

#include <atomic>
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
#include "src/miner/job.hpp"
#include "src/miner/job_slot.hpp"
#include "src/miner/miner_stats.hpp"

struct Share {
    MonoTime found_at;
    std::shared_ptr<const Job> job;
    Bytes64 nonce;
    Bytes64 hash;
    std::uint32_t gpu_ordinal;
    bool is_block;
    // A block whose attempts all failed on the transport goes back into the
    // queue: how often it has so far, and when it may be tried again.
    unsigned failed_rounds = 0;
    MonoTime retry_at{};
    // An attempt's request went out and no answer was read: the pool may
    // have the block, so it is never called lost.
    bool maybe_delivered = false;
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

// Most blocks kept. A block meets the network's target: a rig finds one in
// minutes at best, and keeps one for at most two minutes of outage, so a
// real pool never brings the queue near this; only a pool that calls every
// hash a block does. It bounds what the queue holds (a few hundred KB) and
// what the shutdown prints (one line a block, well inside its 10 s).
inline constexpr std::size_t BLOCK_CAPACITY = 1024;

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
    const std::size_t block_capacity = BLOCK_CAPACITY;
    std::condition_variable wakeup;
    // What becomes of a block pushed after the close (by a GPU worker that
    // the shutdown stopped waiting for): called outside the lock, it reports
    // the block and counts it. Unset, the block is counted as abandoned.
    std::function<void(const Share&)> on_block_refused;
};

void queue_push(SubmitQueue& queue, Share share, const JobPredicate& live);

// Drops every ordinary share whose job `keep` refuses; blocks stay. Returns
// how many were dropped.
std::size_t queue_retain(SubmitQueue& queue, const JobPredicate& keep);

// One-way; wakes every waiter.
void queue_close(SubmitQueue& queue);

std::size_t queue_len(SubmitQueue& queue);

// Puts back a block that the pool could not be reached for, to be tried
// again at its `retry_at`: at its place in strength order, whether or not
// the queue is closed, past the duplicate filter and the capacity (it was
// admitted once already), within the block bound. Wakes one waiter.
void queue_requeue(SubmitQueue& queue, Share block);

inline constexpr std::chrono::milliseconds TAKE_WAIT_SLICE{200};

// How a submit worker takes: shares whose `retry_at` is after `now` are
// held back, and a stopping worker takes blocks only: with `blocks_only`,
// or as soon as `stop_flag` is seen set.
struct TakeRule {
    MonoTime now = MonoTime::max();
    bool blocks_only = false;
    const std::atomic<bool>* stop_flag = nullptr;
};

// A take's outcome. Without a share, `retry_due` is when the first share
// held back for a retry will be due, if one is.
struct Taken {
    std::optional<Share> share;
    std::optional<MonoTime> retry_due;
};

// For a submit worker: drop the ordinary shares whose job is no longer live,
// then take the strongest share the rule allows; with none, and none held
// back, wait up to 200 ms for a push and try again. Nothing when shares
// are held back, when the queue is closed, or when the wait ran out.
Taken queue_take(SubmitQueue& queue, const JobSlot& slot, const TakeRule& rule = {});
