#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "src/miner/submit_queue.hpp"

namespace {

std::shared_ptr<const Job> job(std::string id) {
    Job j{};
    j.job_id = std::move(id);
    return std::make_shared<const Job>(std::move(j));
}

// A share whose hash starts with `strength` (smaller is stronger).
Share share(const std::shared_ptr<const Job>& of, std::uint8_t strength, std::uint8_t nonce, bool is_block = false) {
    Share s{};
    s.job = of;
    s.hash.fill(0xff);
    s.hash[0] = strength;
    s.nonce[63] = nonce;
    s.nonce[0] = strength;
    s.is_block = is_block;
    return s;
}

const JobPredicate ALWAYS = [](std::string_view) { return true; };
const JobPredicate NEVER = [](std::string_view) { return false; };

struct Fixture {
    explicit Fixture(std::size_t capacity) : stats(std::make_shared<MinerStats>()), queue(stats, capacity) {}
    std::vector<std::uint8_t> order() {
        std::vector<std::uint8_t> strengths;
        for (const Share& s : queue.shares) strengths.push_back(s.hash[0]);
        return strengths;
    }
    std::shared_ptr<MinerStats> stats;
    SubmitQueue queue;
};

using Order = std::vector<std::uint8_t>;

}  // namespace

TEST(SubmitQueue, KeepsStrengthOrderBlocksFirst) {
    Fixture f(64);
    const auto j = job("J");
    for (std::uint8_t strength : {5, 1, 9, 3}) queue_push(f.queue, share(j, strength, strength), ALWAYS);
    queue_push(f.queue, share(j, 200, 1, true), ALWAYS);  // a block with a large hash goes first
    EXPECT_EQ(f.order(), (Order{200, 1, 3, 5, 9}));
    // An equal share goes before the queued equals.
    Share equal = share(j, 3, 77);
    queue_push(f.queue, equal, ALWAYS);
    EXPECT_EQ(f.queue.shares[2].nonce[63], 77);
    EXPECT_EQ(queue_len(f.queue), 6u);
}

TEST(SubmitQueue, CapacityEvictsTheWeakestOrdinaryShareOnly) {
    struct Case {
        const char* what;
        std::size_t capacity;
        std::vector<Share> pushes;
        Order expected;
        std::uint64_t evicted;
    };
    const auto j = job("J");
    const Case cases[] = {
        {"weaker third is evicted itself", 2, {share(j, 1, 1), share(j, 2, 2), share(j, 3, 3)}, {1, 2}, 1},
        {"stronger third evicts the weaker held", 2, {share(j, 2, 2), share(j, 3, 3), share(j, 1, 1)}, {1, 2}, 1},
        {"capacity 1, two blocks are both kept", 1, {share(j, 5, 1, true), share(j, 6, 2, true)}, {5, 6}, 0},
        {"capacity 1 of blocks, an ordinary share goes at once", 1,
         {share(j, 5, 1, true), share(j, 6, 2, true), share(j, 0, 3)}, {5, 6}, 1},
        {"capacity 0 means 1", 0, {share(j, 1, 1), share(j, 2, 2)}, {1}, 1},
    };
    for (const Case& c : cases) {
        Fixture f(c.capacity);
        for (const Share& s : c.pushes) queue_push(f.queue, s, ALWAYS);
        EXPECT_EQ(f.order(), c.expected) << c.what;
        EXPECT_EQ(f.stats->queue_full.load(), c.evicted) << c.what;
        EXPECT_EQ(f.stats->abandoned.load(), c.evicted) << c.what;
    }
}

// Blocks are kept past the share capacity, up to the block bound: beyond
// it the weakest block goes, pushed or put back, and is counted as dropped.
TEST(SubmitQueue, BlockBoundDropsTheWeakestBlock) {
    Fixture f(2 * BLOCK_CAPACITY);
    const auto j = job("J");
    // Block i has hash 00 i_hi i_lo ff…: the larger i, the weaker.
    const auto block = [&](std::uint32_t i) {
        Share s = share(j, 0, 0, true);
        s.hash[1] = static_cast<std::uint8_t>(i >> 8);
        s.hash[2] = static_cast<std::uint8_t>(i);
        s.nonce[62] = static_cast<std::uint8_t>(i >> 8);
        s.nonce[63] = static_cast<std::uint8_t>(i);
        return s;
    };
    for (std::uint32_t i = 0; i < BLOCK_CAPACITY; ++i) queue_push(f.queue, block(i + 1), ALWAYS);
    queue_push(f.queue, share(j, 1, 1), ALWAYS);  // an ordinary share, within the capacity
    EXPECT_EQ(queue_len(f.queue), BLOCK_CAPACITY + 1);
    EXPECT_EQ(f.stats->blocks_dropped.load(), 0u);

    queue_push(f.queue, block(5000), ALWAYS);  // the weakest block: dropped itself
    queue_push(f.queue, block(0), ALWAYS);     // the strongest: the weakest held goes
    Share put_back = block(BLOCK_CAPACITY + 7);
    queue_requeue(f.queue, put_back);  // weaker than all held: dropped
    EXPECT_EQ(queue_len(f.queue), BLOCK_CAPACITY + 1);
    EXPECT_EQ(f.stats->blocks_dropped.load(), 3u);
    EXPECT_EQ(f.stats->queue_full.load(), 3u);
    EXPECT_EQ(f.stats->abandoned.load(), 3u);
    EXPECT_EQ(f.queue.shares.front().hash[2], 0) << "block 0 at the front";
    EXPECT_EQ(f.queue.shares[BLOCK_CAPACITY - 1].hash[2], static_cast<std::uint8_t>(BLOCK_CAPACITY - 1))
        << "block 1024 dropped";
    EXPECT_FALSE(f.queue.shares.back().is_block) << "the ordinary share stays";
}

TEST(SubmitQueue, DuplicateFilterForgetsOnlyByAge) {
    Fixture f(2);
    const auto t1 = job("T#1");
    queue_push(f.queue, share(t1, 1, 1), ALWAYS);
    queue_push(f.queue, share(job("T#2"), 1, 1), ALWAYS);  // same prefix and nonce
    EXPECT_EQ(f.stats->dedup_dropped.load(), 1u);
    queue_push(f.queue, share(job("U#1"), 1, 1), ALWAYS);  // another prefix: not a duplicate
    EXPECT_EQ(queue_len(f.queue), 2u);

    // An evicted share pushed again is a duplicate, not queued.
    queue_push(f.queue, share(t1, 9, 9), ALWAYS);
    EXPECT_EQ(f.stats->queue_full.load(), 1u);
    queue_push(f.queue, share(t1, 9, 9), ALWAYS);
    EXPECT_EQ(f.stats->dedup_dropped.load(), 2u);

    // A taken (sent) share stays remembered; 4096 other keys later it is forgotten.
    JobSlot slot;
    job_slot_install(slot, t1);
    while (queue_take(f.queue, slot).share) {
    }
    queue_push(f.queue, share(t1, 1, 1), ALWAYS);
    EXPECT_EQ(f.stats->dedup_dropped.load(), 3u);
    for (int i = 0; i < 4096; ++i) {
        Share other = share(t1, 50, 0);
        other.nonce[10] = static_cast<std::uint8_t>(i);
        other.nonce[11] = static_cast<std::uint8_t>(i >> 8);
        queue_push(f.queue, other, ALWAYS);
    }
    EXPECT_EQ(f.queue.dedup_set.size(), 4096u);
    const std::uint64_t dropped = f.stats->dedup_dropped.load();
    queue_push(f.queue, share(t1, 1, 1), ALWAYS);
    EXPECT_EQ(f.stats->dedup_dropped.load(), dropped);
    EXPECT_EQ(f.queue.shares.front().hash[0], 1);
}

TEST(SubmitQueue, DeadJobsAndClosing) {
    Fixture f(8);
    const auto dead = job("dead");
    queue_push(f.queue, share(dead, 1, 1), NEVER);
    EXPECT_EQ(f.stats->abandoned.load(), 1u);
    EXPECT_TRUE(f.queue.dedup_set.empty());  // not remembered
    queue_push(f.queue, share(dead, 2, 2, true), NEVER);  // a block of a dead job is queued
    EXPECT_EQ(queue_len(f.queue), 1u);
    queue_close(f.queue);
    queue_push(f.queue, share(dead, 3, 3, true), ALWAYS);  // closed: refused, blocks too
    EXPECT_EQ(f.stats->abandoned.load(), 2u);
    EXPECT_EQ(queue_len(f.queue), 1u);

    // With a report for refused blocks, a block is handed to it instead, and
    // not counted here; an ordinary share is still abandoned.
    std::vector<std::uint8_t> reported;
    f.queue.on_block_refused = [&](const Share& s) { reported.push_back(s.nonce[63]); };
    queue_push(f.queue, share(dead, 4, 4, true), ALWAYS);
    queue_push(f.queue, share(dead, 5, 5), ALWAYS);
    EXPECT_EQ(reported, std::vector<std::uint8_t>{4});
    EXPECT_EQ(f.stats->abandoned.load(), 3u);
    EXPECT_EQ(queue_len(f.queue), 1u);
}

TEST(SubmitQueue, RetainWithAndWithoutATarget) {
    Fixture f(16);
    EXPECT_EQ(queue_retain(f.queue, NEVER), 0u);
    EXPECT_EQ(f.stats->abandoned.load(), 0u);
    for (auto [id, strength] : {std::pair{"A#1", 1}, {"A#2", 2}, {"B", 3}, {"C", 4}})
        queue_push(f.queue, share(job(id), static_cast<std::uint8_t>(strength), 1), ALWAYS);
    queue_push(f.queue, share(job("C"), 9, 2, true), ALWAYS);
    const std::optional<std::string> target = "A#7";
    EXPECT_EQ(queue_retain(f.queue, [&](std::string_view id) { return job_id_equals(target, id); }), 2u);
    EXPECT_EQ(f.order(), (Order{9, 1, 2}));
    EXPECT_EQ(queue_retain(f.queue, [](std::string_view id) { return job_id_equals(std::nullopt, id); }), 2u);
    EXPECT_EQ(f.order(), (Order{9}));
    EXPECT_EQ(f.stats->abandoned.load(), 4u);
}

TEST(SubmitQueue, TakeDropsDeadSharesThenTakesTheFront) {
    Fixture f(8);
    JobSlot slot;
    const auto live = job("live");
    job_slot_install(slot, live);
    queue_push(f.queue, share(job("gone"), 1, 1), ALWAYS);
    queue_push(f.queue, share(live, 5, 2), ALWAYS);
    queue_push(f.queue, share(job("gone"), 7, 3, true), ALWAYS);
    auto first = queue_take(f.queue, slot).share;
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->is_block);  // blocks are kept whatever their job
    EXPECT_EQ(f.stats->abandoned.load(), 1u);
    EXPECT_EQ(queue_take(f.queue, slot).share->hash[0], 5);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue_take(f.queue, slot).share);  // empty: one wait slice
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(190));
    queue_close(f.queue);
    EXPECT_FALSE(queue_take(f.queue, slot).share);  // closed and empty: no wait
}

// A block put back after an outage waits for its `retry_at` while the
// others are taken; the take then says when it is due instead of waiting.
// Putting back ignores the closed flag and the duplicate filter. A worker
// that stops takes blocks only.
TEST(SubmitQueue, HeldBackBlocksAndTheStoppingRule) {
    Fixture f(8);
    JobSlot slot;
    const auto live = job("live");
    job_slot_install(slot, live);
    const MonoTime now = MonoTime{} + std::chrono::hours(1);
    Share kept = share(live, 1, 1, true);
    queue_push(f.queue, kept, ALWAYS);
    kept = *queue_take(f.queue, slot, {.now = now}).share;
    kept.retry_at = now + std::chrono::seconds(2);
    queue_push(f.queue, share(live, 5, 2, true), ALWAYS);
    queue_push(f.queue, share(live, 3, 3), ALWAYS);
    queue_close(f.queue);
    queue_requeue(f.queue, kept);
    EXPECT_EQ(f.order(), (Order{1, 5, 3}));
    EXPECT_EQ(f.stats->dedup_dropped.load(), 0u);

    std::atomic<bool> stop_flag{true};
    EXPECT_EQ(queue_take(f.queue, slot, {.now = now, .stop_flag = &stop_flag}).share->hash[0], 5);
    const Taken held = queue_take(f.queue, slot, {.now = now, .stop_flag = &stop_flag});
    EXPECT_FALSE(held.share) << "the ordinary share is not for a stopping worker";
    EXPECT_EQ(held.retry_due, now + std::chrono::seconds(2));
    EXPECT_EQ(queue_take(f.queue, slot, {.now = now + std::chrono::seconds(2), .blocks_only = true}).share->hash[0], 1);
    const Taken rest = queue_take(f.queue, slot, {.now = now, .blocks_only = true});
    EXPECT_FALSE(rest.share);
    EXPECT_FALSE(rest.retry_due) << "no block left";
    EXPECT_EQ(queue_take(f.queue, slot, {.now = now}).share->hash[0], 3);
}

// Pushers, a retainer and takers at once: every share ends exactly once,
// taken or counted as abandoned or as a duplicate.
TEST(SubmitQueue, ConcurrentUseAccountsForEveryShare) {
    constexpr int PUSHERS = 4, TAKERS = 3, PER_PUSHER = 3000;
    Fixture f(32);
    JobSlot slot;
    const auto live = job("live#1");
    const auto dead = job("dead#1");
    job_slot_install(slot, live);
    std::atomic<std::uint64_t> taken{0};
    std::atomic<bool> pushing{true};

    std::vector<std::thread> threads;
    for (int p = 0; p < PUSHERS; ++p)
        threads.emplace_back([&, p] {
            std::mt19937 rng(static_cast<unsigned>(p));
            for (int i = 0; i < PER_PUSHER; ++i) {
                Share s = share(i % 5 == 0 ? dead : live, static_cast<std::uint8_t>(rng()), 0, i % 97 == 0);
                s.nonce[1] = static_cast<std::uint8_t>(p);
                s.nonce[2] = static_cast<std::uint8_t>(i % 1500);  // every key comes twice
                s.nonce[3] = static_cast<std::uint8_t>((i % 1500) >> 8);
                queue_push(f.queue, s, [&](std::string_view id) { return job_slot_is_live(slot, id); });
            }
        });
    std::thread retainer([&] {
        while (pushing) queue_retain(f.queue, [&](std::string_view id) { return job_slot_is_live(slot, id); });
    });
    for (int t = 0; t < TAKERS; ++t)
        threads.emplace_back([&] {
            for (;;) {
                if (queue_take(f.queue, slot).share)
                    ++taken;
                else if (!pushing && queue_len(f.queue) == 0)
                    return;
            }
        });
    for (int p = 0; p < PUSHERS; ++p) threads[p].join();
    pushing = false;
    retainer.join();
    for (std::size_t t = PUSHERS; t < threads.size(); ++t) threads[t].join();

    const std::uint64_t offered = PUSHERS * PER_PUSHER;
    EXPECT_EQ(taken + f.stats->abandoned + f.stats->dedup_dropped, offered);
    EXPECT_EQ(queue_len(f.queue), 0u);
}
