#include <gtest/gtest.h>

#include <functional>
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

// Block i has hash 00 i_hi i_lo ff…: the larger i, the weaker.
Share numbered_block(const std::shared_ptr<const Job>& of, std::uint32_t i) {
    Share s = share(of, 0, 0, true);
    s.hash[1] = static_cast<std::uint8_t>(i >> 8);
    s.hash[2] = static_cast<std::uint8_t>(i);
    s.nonce[62] = static_cast<std::uint8_t>(i >> 8);
    s.nonce[63] = static_cast<std::uint8_t>(i);
    return s;
}

// Pushes a block on a thread of its own, which may have to wait for room.
struct BlockPusher {
    BlockPusher(SubmitQueue& queue, Share block)
        : thread([&queue, this, block = std::move(block)]() mutable {
              queue_push(queue, std::move(block), ALWAYS);
              done = true;
          }) {}
    ~BlockPusher() { thread.join(); }
    // Whether the push is still waiting after a while.
    bool still_waiting(SubmitQueue& queue) {
        for (int i = 0; i < 200 && queue_block_waits(queue).waiting == 0 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !done;
    }
    bool finishes() {
        for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return done;
    }
    std::atomic<bool> done{false};
    std::thread thread;
};

// Blocks are kept past the share capacity, up to the block bound, and never
// dropped: beyond it the pusher waits until a block is taken, the bound is
// lifted or the queue is closed. A block put back goes past the bound.
TEST(SubmitQueue, BlockBoundMakesThePusherWaitAndDropsNothing) {
    struct Case {
        const char* what;
        std::function<void(SubmitQueue&, JobSlot&)> release;
        std::size_t blocks_after;  // queued once the pusher went on
        std::size_t refused;
    };
    const auto j = job("J");
    const Case cases[] = {
        {"a block taken makes room", [](SubmitQueue& q, JobSlot& slot) { queue_take(q, slot); }, BLOCK_CAPACITY, 0},
        {"the bound lifted at the shutdown", [](SubmitQueue& q, JobSlot&) { queue_lift_block_bound(q); },
         BLOCK_CAPACITY + 1, 0},
        {"the queue closed: the block is reported", [](SubmitQueue& q, JobSlot&) { queue_close(q); }, BLOCK_CAPACITY,
         1},
    };
    for (const Case& c : cases) {
        Fixture f(2 * BLOCK_CAPACITY);
        JobSlot slot;
        job_slot_install(slot, j);
        std::size_t refused = 0;
        f.queue.on_block_refused = [&](const Share&) { ++refused; };
        for (std::uint32_t i = 0; i < BLOCK_CAPACITY; ++i) queue_push(f.queue, numbered_block(j, i + 1), ALWAYS);
        queue_push(f.queue, share(j, 1, 1), ALWAYS);  // an ordinary share, within the capacity
        {
            BlockPusher pusher(f.queue, numbered_block(j, 0));
            EXPECT_TRUE(pusher.still_waiting(f.queue)) << c.what;
            EXPECT_EQ(queue_block_waits(f.queue).waiting, 1u) << c.what;
            EXPECT_EQ(queue_len(f.queue), BLOCK_CAPACITY + 1) << c.what;
            c.release(f.queue, slot);
            EXPECT_TRUE(pusher.finishes()) << c.what;
        }
        std::size_t blocks = 0;
        for (const Share& s : f.queue.shares) blocks += s.is_block;
        EXPECT_EQ(blocks, c.blocks_after) << c.what;
        EXPECT_EQ(refused, c.refused) << c.what;
        EXPECT_EQ(queue_block_waits(f.queue).waiting, 0u) << c.what;
        EXPECT_EQ(queue_block_waits(f.queue).total, 1u) << c.what;
        EXPECT_EQ(f.stats->queue_full.load() + f.stats->abandoned.load(), 0u) << c.what << ": nothing dropped";
    }

    // Put back past the bound, at once.
    Fixture f(2 * BLOCK_CAPACITY);
    JobSlot slot;
    for (std::uint32_t i = 0; i < BLOCK_CAPACITY; ++i) queue_push(f.queue, numbered_block(j, i + 1), ALWAYS);
    Share taken = *queue_take(f.queue, slot).share;
    queue_push(f.queue, numbered_block(j, 5000), ALWAYS);  // into the room the take made
    EXPECT_TRUE(queue_requeue(f.queue, taken));
    EXPECT_EQ(queue_len(f.queue), BLOCK_CAPACITY + 1);
    EXPECT_EQ(f.queue.shares.front().hash[2], 1) << "back at its place";
}

// A block a submit worker takes is held until the worker settles its
// outcome or puts it back; once the shutdown has taken the held blocks
// over, the worker reports nothing of them and puts nothing back.
TEST(SubmitQueue, BlocksInFlightAreSettledOnce) {
    Fixture f(8);
    JobSlot slot;
    const auto j = job("J");
    for (std::uint8_t n : {1, 2, 3}) queue_push(f.queue, share(j, n, n, true), ALWAYS);
    queue_push(f.queue, share(j, 9, 9), ALWAYS);
    const Share settled = *queue_take(f.queue, slot).share;
    const Share requeued = *queue_take(f.queue, slot).share;
    const Share abandoned = *queue_take(f.queue, slot).share;
    const Share ordinary = *queue_take(f.queue, slot).share;
    EXPECT_EQ(f.queue.in_flight.size(), 3u) << "blocks only";
    EXPECT_TRUE(queue_settle(f.queue, settled));
    EXPECT_TRUE(queue_requeue(f.queue, requeued));
    EXPECT_TRUE(queue_settle(f.queue, ordinary));

    const std::vector<Share> held = queue_take_over_in_flight(f.queue);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].nonce, abandoned.nonce);
    EXPECT_FALSE(queue_settle(f.queue, abandoned)) << "the shutdown reported it";
    EXPECT_FALSE(queue_requeue(f.queue, abandoned));
    EXPECT_EQ(queue_len(f.queue), 1u) << "the block put back before the take-over";
    const Share last = *queue_take(f.queue, slot).share;
    EXPECT_TRUE(f.queue.in_flight.empty()) << "nothing is held once taken over";
    EXPECT_TRUE(queue_settle(f.queue, last));
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
    // A block refused twice is reported once.
    queue_push(f.queue, share(dead, 4, 4, true), ALWAYS);
    EXPECT_EQ(reported, std::vector<std::uint8_t>{4});
    EXPECT_EQ(f.stats->dedup_dropped.load(), 1u);
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
