// Host-verified shares waiting to be sent: strongest first, each share once,
// bounded by dropping the weakest ordinary shares. A block is never dropped:
// past the block bound, which no real pool comes near, the GPU worker that
// found it waits for room.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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
    // Set while a submit worker holds the block (see `queue_settle`).
    std::uint64_t ticket = 0;
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

// Most blocks queued. A block meets the network's target: a rig finds one in
// minutes at best, and keeps one for at most two minutes of outage, so a
// real pool never brings the queue near this; only a pool that calls every
// hash a block does. It bounds what the queue holds (a few hundred KB) and
// what the shutdown prints (one line a block, well inside its 10 s). A GPU
// worker with a block to push past it waits until a block leaves the queue,
// so none is ever dropped; from the shutdown on every block is admitted
// (the last batches add at most their candidate caps).
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
    // A block left the queue, or the bound was lifted: for pushers waiting.
    std::condition_variable room;
    // From the shutdown on, blocks are admitted past the bound.
    bool bound_lifted = false;
    // Pushers waiting for room now, and how many waits there were in all.
    std::size_t blocks_waiting = 0;
    std::uint64_t block_waits = 0;
    // The blocks that submit workers hold, by ticket, until their outcome is
    // settled; the shutdown reports those of workers it stopped waiting for.
    std::map<std::uint64_t, Share> in_flight;
    std::uint64_t next_ticket = 1;
    bool in_flight_taken_over = false;
    // What becomes of a block pushed after the close (by a GPU worker that
    // the shutdown stopped waiting for): called outside the lock, it reports
    // the block and counts it. Unset, the block is counted as abandoned.
    std::function<void(const Share&)> on_block_refused;
};

// Queues a share. A block that finds the block bound reached waits, outside
// any GPU call and without spinning, until a block leaves the queue, the
// bound is lifted or the queue is closed.
void queue_push(SubmitQueue& queue, Share share, const JobPredicate& live);

// The shutdown's start: every block is admitted from now on, and pushers
// waiting for room go on at once.
void queue_lift_block_bound(SubmitQueue& queue);

// What the main loop shows of pushers waiting for room.
struct BlockWaits {
    std::size_t waiting = 0;   // now
    std::uint64_t total = 0;   // since the start
};
BlockWaits queue_block_waits(SubmitQueue& queue);

// Drops every ordinary share whose job `keep` refuses; blocks stay. Returns
// how many were dropped.
std::size_t queue_retain(SubmitQueue& queue, const JobPredicate& keep);

// One-way; wakes every waiter.
void queue_close(SubmitQueue& queue);

std::size_t queue_len(SubmitQueue& queue);

// Puts back a block that the pool could not be reached for, to be tried
// again at its `retry_at`: at its place in strength order, whether or not
// the queue is closed, past the duplicate filter, the capacity and the
// block bound (it was admitted once already; at most one a submit worker
// goes past). Settles the block's ticket: false, and nothing put back,
// when the shutdown has taken its outcome over. Wakes one waiter.
bool queue_requeue(SubmitQueue& queue, Share block);

// Called by the submit worker holding a block before it reports the
// block's outcome: true when the outcome is its own, false when the
// shutdown has taken it over (and reported the block). Always true for an
// ordinary share.
bool queue_settle(SubmitQueue& queue, const Share& share);

// The shutdown, once it stops waiting for the submit workers: every block
// a worker still holds, whose outcome it will no longer report.
std::vector<Share> queue_take_over_in_flight(SubmitQueue& queue);

inline constexpr std::chrono::milliseconds TAKE_WAIT_SLICE{200};

// How a submit worker takes: shares whose `retry_at` is after `now` are
// held back, unless it is at or after `too_late` (in the shutdown's drain,
// a round due after the last attempt could start is tried at once instead),
// and a stopping worker takes blocks only: with `blocks_only`, or as soon
// as `stop_flag` is seen set.
struct TakeRule {
    MonoTime now = MonoTime::max();
    bool blocks_only = false;
    const std::atomic<bool>* stop_flag = nullptr;
    MonoTime too_late = MonoTime::max();
};

// A take's outcome. Without a share, `retry_due` is when the first share
// held back for a retry will be due, if one is.
struct Taken {
    std::optional<Share> share;
    std::optional<MonoTime> retry_due;
};

// For a submit worker: drop the ordinary shares whose job is no longer live,
// then take the strongest share the rule allows (a block is held in flight,
// under a ticket, until `queue_settle` or `queue_requeue`); with none, and none held
// back, wait up to 200 ms for a push and try again. Nothing when shares
// are held back, when the queue is closed, or when the wait ran out.
Taken queue_take(SubmitQueue& queue, const JobSlot& slot, const TakeRule& rule = {});
