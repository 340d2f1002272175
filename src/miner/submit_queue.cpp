#include "src/miner/submit_queue.hpp"

#include <algorithm>
#include <cstring>

namespace {

// Drops the ordinary shares `keep` refuses; the lock is held. Returns the count.
std::size_t retain_locked(SubmitQueue& queue, const JobPredicate& keep) {
    const std::size_t before = queue.shares.size();
    std::erase_if(queue.shares, [&](const Share& s) { return !s.is_block && !keep(s.job->job_id); });
    return before - queue.shares.size();
}

// Remembers the key unless it is known; forgets the oldest beyond capacity.
bool remember_key(SubmitQueue& queue, DedupKey key) {
    if (queue.dedup_set.contains(key)) return false;
    queue.dedup_order.push_back(key);
    queue.dedup_set.insert(std::move(key));
    while (queue.dedup_order.size() > queue.dedup_capacity) {
        queue.dedup_set.erase(queue.dedup_order.front());
        queue.dedup_order.pop_front();
    }
    return true;
}

// Removes the weakest ordinary shares while over capacity. Returns the count.
std::size_t evict_locked(SubmitQueue& queue) {
    std::size_t evicted = 0;
    while (queue.shares.size() > queue.capacity) {
        const auto weakest = std::find_if(queue.shares.rbegin(), queue.shares.rend(),
                                          [](const Share& s) { return !s.is_block; });
        if (weakest == queue.shares.rend()) break;  // only blocks left: keep them all
        queue.shares.erase(std::next(weakest).base());
        ++evicted;
    }
    return evicted;
}

std::size_t blocks_queued_locked(const SubmitQueue& queue) {
    const auto blocks_end = std::partition_point(queue.shares.begin(), queue.shares.end(),
                                                 [](const Share& s) { return s.is_block; });
    return static_cast<std::size_t>(blocks_end - queue.shares.begin());
}

// Waits, the lock held, while a block may not enter: the bound reached,
// neither lifted nor the queue closed.
void wait_for_block_room(SubmitQueue& queue, std::unique_lock<std::mutex>& lock) {
    const auto no_room = [&] {
        return !queue.closed && !queue.bound_lifted && blocks_queued_locked(queue) >= queue.block_capacity;
    };
    if (!no_room()) return;
    ++queue.blocks_waiting;
    ++queue.block_waits;
    queue.room.wait(lock, [&] { return !no_room(); });
    --queue.blocks_waiting;
}

// Counts what an eviction dropped.
void count_evicted(MinerStats& stats, std::size_t shares) {
    if (shares == 0) return;
    count(stats.abandoned, shares);
    count(stats.queue_full, shares);
}

// A block taken by a submit worker: held under a ticket until settled. Once
// the shutdown has taken the blocks in flight over, none is held: the taker
// is the shutdown itself.
void hold_in_flight_locked(SubmitQueue& queue, Share& block) {
    if (queue.in_flight_taken_over) return;
    block.ticket = queue.next_ticket++;
    queue.in_flight.emplace(block.ticket, block);
}

// A share equal in strength to queued ones goes before them.
void insert_locked(SubmitQueue& queue, Share share) {
    const auto at = std::lower_bound(queue.shares.begin(), queue.shares.end(), share, ranks_before);
    queue.shares.insert(at, std::move(share));
}

}  // namespace

bool ranks_before(const Share& a, const Share& b) {
    if (a.is_block != b.is_block) return a.is_block;
    return std::memcmp(a.hash.data(), b.hash.data(), a.hash.size()) < 0;
}

std::size_t DedupKeyHash::operator()(const DedupKey& key) const {
    std::size_t h = std::hash<std::string>{}(key.id_prefix);
    std::uint64_t words[8];
    std::memcpy(words, key.nonce.data(), sizeof words);
    for (std::uint64_t w : words) h = (h ^ std::hash<std::uint64_t>{}(w)) * 0x100000001b3ULL;
    return h;
}

void queue_push(SubmitQueue& queue, Share share, const JobPredicate& live) {
    MinerStats& stats = *queue.stats;
    if (!share.is_block && !live(share.job->job_id)) {
        count(stats.abandoned);
        return;
    }
    std::size_t evicted;
    {
        std::unique_lock lock(queue.lock);
        // Before the close test: a block found twice is reported once,
        // whether it is queued or refused.
        if (!remember_key(queue, {std::string(job_id_prefix(share.job->job_id)), share.nonce})) {
            lock.unlock();
            count(stats.dedup_dropped);
            return;
        }
        if (share.is_block) wait_for_block_room(queue, lock);
        if (queue.closed) {
            lock.unlock();
            if (share.is_block && queue.on_block_refused)
                queue.on_block_refused(share);
            else
                count(stats.abandoned);
            return;
        }
        const bool was_full = queue.shares.size() >= queue.capacity;
        insert_locked(queue, std::move(share));
        evicted = was_full ? evict_locked(queue) : 0;
    }
    count_evicted(stats, evicted);
    queue.wakeup.notify_one();
}

void queue_lift_block_bound(SubmitQueue& queue) {
    {
        std::lock_guard lock(queue.lock);
        queue.bound_lifted = true;
    }
    queue.room.notify_all();
}

BlockWaits queue_block_waits(SubmitQueue& queue) {
    std::lock_guard lock(queue.lock);
    return {queue.blocks_waiting, queue.block_waits};
}

std::size_t queue_retain(SubmitQueue& queue, const JobPredicate& keep) {
    std::size_t dropped;
    {
        std::lock_guard lock(queue.lock);
        dropped = retain_locked(queue, keep);
    }
    if (dropped != 0) count(queue.stats->abandoned, dropped);
    return dropped;
}

void queue_close(SubmitQueue& queue) {
    {
        std::lock_guard lock(queue.lock);
        queue.closed = true;
    }
    queue.wakeup.notify_all();
    queue.room.notify_all();
}

std::size_t queue_len(SubmitQueue& queue) {
    std::lock_guard lock(queue.lock);
    return queue.shares.size();
}

bool queue_requeue(SubmitQueue& queue, Share block) {
    {
        std::lock_guard lock(queue.lock);
        if (block.ticket != 0 && queue.in_flight.erase(block.ticket) == 0) return false;
        block.ticket = 0;
        insert_locked(queue, std::move(block));
    }
    queue.wakeup.notify_one();
    return true;
}

bool queue_settle(SubmitQueue& queue, const Share& share) {
    if (share.ticket == 0) return true;
    std::lock_guard lock(queue.lock);
    return queue.in_flight.erase(share.ticket) != 0;
}

std::vector<Share> queue_take_over_in_flight(SubmitQueue& queue) {
    std::lock_guard lock(queue.lock);
    queue.in_flight_taken_over = true;
    std::vector<Share> held;
    for (auto& [ticket, share] : queue.in_flight) {
        held.push_back(std::move(share));
        held.back().ticket = 0;
    }
    queue.in_flight.clear();
    return held;
}

Taken queue_take(SubmitQueue& queue, const JobSlot& slot, const TakeRule& rule) {
    std::unique_lock lock(queue.lock);
    const JobPredicate live = [&slot](std::string_view job_id) { return job_slot_is_live(slot, job_id); };
    for (;;) {
        if (const std::size_t dropped = retain_locked(queue, live); dropped != 0)
            count(queue.stats->abandoned, dropped);
        const bool blocks_only = rule.blocks_only || (rule.stop_flag != nullptr && rule.stop_flag->load());
        std::optional<MonoTime> retry_due;
        for (auto it = queue.shares.begin(); it != queue.shares.end(); ++it) {
            if (blocks_only && !it->is_block) break;  // blocks rank first: none further on
            if (it->retry_at <= rule.now || it->retry_at >= rule.too_late) {
                Share taken = std::move(*it);
                queue.shares.erase(it);
                if (taken.is_block) {
                    hold_in_flight_locked(queue, taken);
                    queue.room.notify_all();  // its place is room for a waiting pusher
                }
                return {std::move(taken), std::nullopt};
            }
            retry_due = retry_due ? std::min(*retry_due, it->retry_at) : it->retry_at;
        }
        if (retry_due || queue.closed) return {std::nullopt, retry_due};
        if (queue.wakeup.wait_for(lock, TAKE_WAIT_SLICE) == std::cv_status::timeout) return {};
    }
}
