#include "src/pool/submit_queue.hpp"

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
        if (queue.closed) {
            count(stats.abandoned);
            return;
        }
        if (!remember_key(queue, {std::string(job_id_prefix(share.job->job_id)), share.nonce})) {
            lock.unlock();
            count(stats.dedup_dropped);
            return;
        }
        const bool was_full = queue.shares.size() >= queue.capacity;
        const auto at = std::lower_bound(queue.shares.begin(), queue.shares.end(), share, ranks_before);
        queue.shares.insert(at, std::move(share));
        evicted = was_full ? evict_locked(queue) : 0;
    }
    if (evicted != 0) {
        count(stats.abandoned, evicted);
        count(stats.queue_full, evicted);
    }
    queue.wakeup.notify_one();
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
}

std::size_t queue_len(SubmitQueue& queue) {
    std::lock_guard lock(queue.lock);
    return queue.shares.size();
}

std::optional<Share> queue_take(SubmitQueue& queue, const JobSlot& slot) {
    std::unique_lock lock(queue.lock);
    const JobPredicate live = [&slot](std::string_view job_id) { return job_slot_is_live(slot, job_id); };
    for (;;) {
        if (const std::size_t dropped = retain_locked(queue, live); dropped != 0)
            count(queue.stats->abandoned, dropped);
        if (!queue.shares.empty()) {
            Share front = std::move(queue.shares.front());
            queue.shares.erase(queue.shares.begin());
            return front;
        }
        if (queue.closed) return std::nullopt;
        if (queue.wakeup.wait_for(lock, TAKE_WAIT_SLICE) == std::cv_status::timeout) return std::nullopt;
    }
}
