// One GPU worker on a stand-in GPU, stepped turn by turn: its throttle
// pause and its idle poll go through a gate the test opens one turn at a
// time, so jobs can be installed between two turns.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/hex.hpp"
#include "src/miner/gpu_worker.hpp"
#include "tests/gpu/stand_in_devices.hpp"

namespace {

using namespace std::chrono_literals;

// Every sleep of the worker ends a turn and waits here until the test lets
// the next turn run.
class TurnGate {
public:
    void sleep(std::chrono::steady_clock::duration d) {
        std::unique_lock lock(mutex_);
        ++sleeps_;
        pauses_.push_back(d);
        changed_.notify_all();
        changed_.wait(lock, [&] { return allowed_ > 0 || open_; });
        if (!open_) --allowed_;
    }
    // Lets one more turn run, then waits until it has ended in the gate->
    void step() {
        std::unique_lock lock(mutex_);
        const int target = sleeps_ + 1;
        ++allowed_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return sleeps_ >= target; });
    }
    void wait_for_first_sleep() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return sleeps_ >= 1; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    std::vector<std::chrono::steady_clock::duration> pauses() {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int sleeps_ = 0, allowed_ = 0;
    bool open_ = false;
    std::vector<std::chrono::steady_clock::duration> pauses_;
};

struct Lines {
    std::mutex mutex;
    std::vector<std::string> out, err;
    LineOutput output{[this](std::string_view l) { std::lock_guard g(mutex); out.emplace_back(l); },
                      [this](std::string_view l) { std::lock_guard g(mutex); err.emplace_back(l); }};
    std::vector<std::string> taken_out() {
        std::lock_guard g(mutex);
        return std::exchange(out, {});
    }
};

std::shared_ptr<const Job> make_job(std::string id, std::uint8_t template_byte, const Bytes64& share_target,
                                    std::uint8_t prefix = 0x0a) {
    auto job = std::make_shared<Job>();
    job->job_id = std::move(id);
    job->mining_hash.fill(template_byte);
    job->share_target = share_target;
    job->block_target = Bytes64{};
    job->nonce_prefix = {prefix, 0x0b, 0x0c, 0x0d};
    job->is_dev = false;
    return job;
}

constexpr std::uint8_t RANDOM_BYTE = 0x5c;

// The nonce the worker forms for `counter` with the test's random parts.
Bytes64 worker_nonce(const Job& job, std::uint64_t counter) {
    Bytes64 nonce;
    nonce.fill(RANDOM_BYTE);
    std::copy(job.nonce_prefix.begin(), job.nonce_prefix.end(), nonce.begin());
    for (int b = 0; b < 8; ++b) nonce[56 + b] = static_cast<std::uint8_t>(counter >> (56 - 8 * b));
    return nonce;
}

Bytes64 host_hash(const Job& job, std::uint64_t counter) {
    std::uint8_t input[96];
    std::memcpy(input, job.mining_hash.data(), 32);
    const Bytes64 nonce = worker_nonce(job, counter);
    std::memcpy(input + 32, nonce.data(), 64);
    return poseidon2::poseidon2_hash_bytes(input);
}

class GpuWorkerTest : public StandInDevices {
protected:
    GpuWorkerTest() : StandInDevices(SMALL_DEVICES) {}

    // The context of slot 0 over the fixture's shared objects.
    GpuWorkerContext context_of(GpuContext gpu, std::uint64_t throttle_ms, LaunchGeometry geometry) {
        return GpuWorkerContext{.gpu = std::move(gpu),
                                .mining = {.slot = slot, .stats = stats, .queue = queue, .stop_flag = stop_flag},
                                .hash_counters = hash_counters,
                                .busy_counters = busy_counters,
                                .slot_index = 0,
                                .throttle_ms = throttle_ms,
                                .geometry = geometry};
    }

    // Starts a worker on `kind` with one-shot gating; returns once it waits
    // in its first pause.
    void start(KernelKind kind, int device, LaunchGeometry geometry, std::uint32_t cap = 256,
               std::uint64_t throttle_ms = 1) {
        Result<GpuContext> gpu = gpu_open(device, cap, kind);
        ASSERT_TRUE(gpu) << gpu.error().message();
        GpuWorkerContext c = context_of(std::move(*gpu), throttle_ms, geometry);
        c.seams.shutdown_requested = &shutdown;
        c.seams.random = [](std::span<std::uint8_t> out) -> Result<void> {
            std::fill(out.begin(), out.end(), RANDOM_BYTE);
            return {};
        };
        gate = std::make_unique<TurnGate>();
        shutdown.store(false);
        c.seams.sleep = [gate = gate.get()](std::chrono::steady_clock::duration d) { gate->sleep(d); };
        c.seams.lines = lines.output;
        worker = std::thread(gpu_worker, std::move(c));
        gate->wait_for_first_sleep();
    }

    void stop_worker() {
        shutdown.store(true);
        if (gate) gate->open();
        if (worker.joinable()) worker.join();
    }

    void TearDown() override {
        stop_worker();
        StandInDevices::TearDown();
    }

    std::shared_ptr<JobSlot> slot = std::make_shared<JobSlot>();
    std::shared_ptr<MinerStats> stats = std::make_shared<MinerStats>();
    std::shared_ptr<std::atomic<bool>> stop_flag = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<HashCounters> hash_counters = std::make_shared<HashCounters>(1);
    std::shared_ptr<HashCounters> busy_counters = std::make_shared<HashCounters>(1);
    std::shared_ptr<SubmitQueue> queue = std::make_shared<SubmitQueue>(stats, 4096);
    std::atomic<bool> shutdown{false};
    std::unique_ptr<TurnGate> gate;
    Lines lines;
    std::thread worker;
};

TEST(TemplateMemory, ResumesRememberedTemplatesAndForgetsTheFifthBack) {
    std::vector<TemplateEntry> templates;
    const NoncePrefix p{1, 2, 3, 4}, other_prefix{1, 2, 3, 5};
    auto hash = [](std::uint8_t b) {
        Bytes32 h;
        h.fill(b);
        return h;
    };
    struct Step {
        Bytes32 mining_hash;
        NoncePrefix prefix;
        std::uint64_t counter_before;  // the live counter when the job arrives
        std::uint64_t start;           // where the new job starts
        bool remembered;
    };
    const Step steps[] = {
        {hash(1), p, 0, 0, false},      // T1, new
        {hash(1), p, 500, 500, true},   // T1 again (only the id or targets differ): kept
        {hash(2), p, 700, 0, false},    // T2: T1 saved at 700
        {hash(1), p, 40, 700, true},    // back to T1: resumes, T2 saved at 40
        {hash(2), p, 900, 40, true},    // back to T2
        {hash(2), other_prefix, 50, 0, false},  // another prefix is another template
        {hash(3), p, 1, 0, false},
        {hash(4), p, 2, 0, false},
        {hash(5), p, 3, 0, false},      // five templates seen since T1 came last: T1 is gone
        {hash(1), p, 4, 0, false},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        bool remembered = false;
        EXPECT_EQ(template_counter(templates, s.mining_hash, s.prefix, s.counter_before, remembered), s.start)
            << "step " << i;
        EXPECT_EQ(remembered, s.remembered) << "step " << i;
        EXPECT_LE(templates.size(), TEMPLATES_KEPT);
        EXPECT_EQ(templates.front().mining_hash, s.mining_hash);
    }
}

TEST_F(GpuWorkerTest, ReturningTemplatesResumeTheirCounterAndOnlyTheLastOfTwoJobsIsUploaded) {
    const LaunchGeometry g{2, 32, 2};  // 128 nonces a batch
    const Bytes64 none{};              // a zero share target: no candidate
    start(KernelKind::energy, DEVICE_90, g);
    EXPECT_EQ(lines.taken_out(), std::vector<std::string>{"[GPU2] waiting for a job"});

    // T1: the job change launches at 0, the mining turn at 128.
    job_slot_install(*slot, make_job("a1", 1, none));
    gate->step();
    // T2 arrives with T1 at 256; T3 and then T2 again while one turn waits:
    // only the last is uploaded, so T3 never enters the memory.
    job_slot_install(*slot, make_job("b1", 2, none));
    gate->step();
    job_slot_install(*slot, make_job("c1", 3, none));
    job_slot_install(*slot, make_job("a2", 1, none));
    gate->step();
    EXPECT_EQ(lines.taken_out(),
              std::vector<std::string>{"[GPU2] job a2 : same template, target updated — nonce counter kept (0x100)"});
    job_slot_install(*slot, make_job("c2", 3, none));
    gate->step();
    EXPECT_TRUE(lines.taken_out().empty()) << "T3 was never uploaded, so it starts afresh";
    job_slot_install(*slot, make_job("b2", 2, none));
    gate->step();
    EXPECT_EQ(lines.taken_out(),
              std::vector<std::string>{"[GPU2] job b2 : same template, target updated — nonce counter kept (0x100)"});

    // Withdrawn: the batch in flight is collected, then one waiting line.
    job_slot_clear(*slot);
    gate->step();
    gate->step();
    EXPECT_EQ(lines.taken_out(), std::vector<std::string>{"[GPU2] waiting for a job"});
    // Six uploads and one withdrawal, two batches each: everything launched was collected.
    EXPECT_EQ((*hash_counters)[0].load(), 5u * 2 * 128);
    const auto pauses = gate->pauses();
    EXPECT_EQ(pauses.front(), std::chrono::steady_clock::duration(50ms)) << "the idle poll";
    EXPECT_EQ(pauses[1], std::chrono::steady_clock::duration(1ms)) << "the throttle after a mining collect";
}

TEST_F(GpuWorkerTest, AThrottleOfAnyLengthPausesInSlicesThatAStopEnds) {
    const LaunchGeometry g{2, 32, 2};  // 128 nonces a batch
    start(KernelKind::energy, DEVICE_90, g, 256, UINT64_MAX);  // once -1 ms: no pause at all
    job_slot_install(*slot, make_job("a1", 1, Bytes64{}));
    gate->step();  // the job change, then the first mining turn into its pause
    for (int slice = 0; slice < 3; ++slice) gate->step();
    EXPECT_EQ((*hash_counters)[0].load(), 128u) << "still inside the first pause";
    stop_flag->store(true);
    gate->open();  // the slice under way ends, and with it the pause
    worker.join();
    EXPECT_EQ((*hash_counters)[0].load(), 2u * 128) << "the batch in flight is collected at the stop";
    const std::vector<std::chrono::steady_clock::duration> want = {50ms, 100ms, 100ms, 100ms, 100ms};
    EXPECT_EQ(gate->pauses(), want);
}

// With the block queue at its bound, the worker holds its batch, hashing
// nothing more, and counts the batch's hashes only once its blocks are
// queued: a count never covers a block that is not yet in the queue.
TEST_F(GpuWorkerTest, ABlockWaitingForRoomHoldsItsBatchUncounted) {
    Bytes64 easiest;
    easiest.fill(0xff);
    const auto queued = make_job("old", 9, easiest);
    for (std::uint32_t i = 0; i < BLOCK_CAPACITY; ++i) {
        Share block{};
        block.job = queued;
        block.is_block = true;
        std::memcpy(block.nonce.data(), &i, sizeof i);
        queue_push(*queue, block, [](std::string_view) { return true; });
    }
    start(KernelKind::energy, DEVICE_90, {2, 32, 2});
    auto job = std::make_shared<Job>(*make_job("j", 7, easiest));
    job->block_target = easiest;  // every hash a block
    job_slot_install(*slot, job);
    gate->open();
    const auto waited_for = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(1ms);
        return done();
    };
    ASSERT_TRUE(waited_for([&] { return queue_block_waits(*queue).waiting == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(queue_block_waits(*queue).waiting, 1u) << "still waiting";
    EXPECT_EQ((*hash_counters)[0].load(), 0u) << "the batch is not counted before its blocks are queued";
    queue_lift_block_bound(*queue);
    EXPECT_TRUE(waited_for([&] { return (*hash_counters)[0].load() >= 2u * 128; }));
    EXPECT_GT(queue_len(*queue), BLOCK_CAPACITY) << "the waiting blocks went in";
    EXPECT_EQ(stats->abandoned.load(), 0u);
}

TEST_F(GpuWorkerTest, CandidatesBeyondTheCapacityAreCountedAndTheRestReHashed) {
    Bytes64 easiest;
    easiest.fill(0xff);
    start(KernelKind::compact, DEVICE_90, {3, 100, 1});
    lines.taken_out();
    job_slot_install(*slot, make_job("j", 7, easiest));
    gate->step();
    EXPECT_EQ(lines.taken_out(),
              std::vector<std::string>{"[GPU2] 300 candidates in batch, 256 reported (cap) — share target too easy"});
    EXPECT_EQ(queue_len(*queue), 256u);
    EXPECT_EQ(stats->gpu_mismatch.load(), 0u);
    std::lock_guard lock(queue->lock);
    for (const Share& s : queue->shares) {
        std::uint64_t counter = 0;
        for (int b = 56; b < 64; ++b) counter = counter << 8 | s.nonce[b];
        EXPECT_LT(counter, 300u);
        EXPECT_EQ(s.nonce, worker_nonce(*s.job, counter));
        EXPECT_EQ(s.hash, host_hash(*s.job, counter));
        EXPECT_EQ(s.gpu_ordinal, 2u);
        EXPECT_FALSE(s.is_block);
        EXPECT_EQ(s.job->job_id, "j");
    }
}

// A candidate the GPU got wrong: the stand-in flips a bit of the one
// counter reported, which then misses the target on the host.
TEST_F(GpuWorkerTest, CandidateMissingTheTargetOnTheHostIsAMismatchNotAShare) {
    const auto probe = make_job("j", 9, Bytes64{});
    // The smallest hash of counters 0-299 and its "hash + 1": exactly one candidate.
    std::uint64_t best = 0;
    for (std::uint64_t c = 1; c < 300; ++c)
        if (host_hash(*probe, c) < host_hash(*probe, best)) best = c;
    Bytes64 target = host_hash(*probe, best);
    for (int i = 63; i >= 0 && ++target[i] == 0; --i) {
    }
    const auto job = make_job("j", 9, target);

    start(KernelKind::fast120, DEVICE_120, {3, 100, 1}, 16);
    lines.taken_out();
    sim::corrupt_copy_to_host(8 * 16, 1, 0);
    job_slot_install(*slot, job);
    gate->step();
    sim::clear_faults();
    const std::uint64_t wrong = best ^ 1;
    const Bytes64 wrong_hash = host_hash(*job, wrong);
    ASSERT_EQ(stats->gpu_mismatch.load(), 1u);
    EXPECT_EQ(queue_len(*queue), 0u);
    EXPECT_EQ(lines.taken_out(), std::vector<std::string>{fmt::format(
                                     "[GPU3] GPU/HOST MISMATCH: candidate {:#x} host hash {}… ≥ target — NOT submitted",
                                     wrong, hex_encode(std::span(wrong_hash).first(12)))});
}

TEST_F(GpuWorkerTest, BusyFigureEveryThirtySecondCollectExceptForHb89) {
    for (KernelKind kind : {KernelKind::energy, KernelKind::hb89}) {
        SCOPED_TRACE(kernel_name(kind));
        (*busy_counters)[0].store(0);
        start(kind, DEVICE_89, {4, 32, 4});
        job_slot_install(*slot, make_job(std::string(kernel_name(kind)), 1, Bytes64{}));
        for (int collects = 1; collects <= 31; ++collects) gate->step();
        EXPECT_EQ((*busy_counters)[0].load(), 0u) << "not before the 32nd collect";
        gate->step();
        if (kind == KernelKind::hb89)
            EXPECT_EQ((*busy_counters)[0].load(), 0u);
        else
            EXPECT_GT((*busy_counters)[0].load(), 0u);
        stop_worker();
    }
}

TEST_F(GpuWorkerTest, GpuFailureStopsTheWorkerAndTheMiner) {
    start(KernelKind::energy, DEVICE_90, {1, 32, 1});
    job_slot_install(*slot, make_job("j", 1, Bytes64{}));
    gate->step();
    sim::fail_call("cudaEventSynchronize", 1, cudaErrorLaunchFailure);
    gate->open();
    worker.join();
    EXPECT_TRUE(stop_flag->load());
    EXPECT_TRUE(shutdown.load());
    EXPECT_EQ(lines.err, std::vector<std::string>{"[GPU] worker thread stopped on error: GPU 2 [energy]: "
                                                  "qtc_mine_collect: cudaEventSynchronize(c->ev_done[buf]): "
                                                  "unspecified launch failure"});
    EXPECT_EQ(sim::live_objects().streams, 0u) << "the context is destroyed";
}

TEST_F(GpuWorkerTest, StopBeforeTheStartTouchesNoGpu) {
    stop_flag->store(true);
    Result<GpuContext> gpu = gpu_open(DEVICE_90, 0, KernelKind::energy);
    ASSERT_TRUE(gpu);
    GpuWorkerContext c = context_of(std::move(*gpu), 0, {1, 32, 1});
    c.seams.shutdown_requested = &shutdown;
    c.seams.lines = lines.output;
    job_slot_install(*slot, make_job("j", 1, Bytes64{}));
    gpu_worker(std::move(c));
    EXPECT_TRUE(lines.out.empty());
    EXPECT_EQ((*hash_counters)[0].load(), 0u);
    EXPECT_EQ(sim::live_objects().streams, 0u);
}

TEST_F(GpuWorkerTest, FailingRandomSourceStopsTheMinerInsteadOfMiningWeakNonces) {
    Result<GpuContext> gpu = gpu_open(DEVICE_90, 0, KernelKind::energy);
    ASSERT_TRUE(gpu);
    GpuWorkerContext c = context_of(std::move(*gpu), 0, {1, 32, 1});
    c.seams.shutdown_requested = &shutdown;
    c.seams.lines = lines.output;
    c.seams.random = [](std::span<std::uint8_t>) -> Result<void> { return fail("getrandom: Function not implemented (os error 38)"); };
    const std::shared_ptr<std::atomic<bool>> failed = c.failed;
    job_slot_install(*slot, make_job("j", 1, Bytes64{}));
    gpu_worker(std::move(c));
    EXPECT_TRUE(failed->load()) << "the miner is to end as a failure";
    EXPECT_EQ(lines.err, std::vector<std::string>{"[GPU] worker thread stopped on error: cannot draw the random nonce "
                                                  "parts: getrandom: Function not implemented (os error 38)"});
    EXPECT_TRUE(stop_flag->load());
    EXPECT_TRUE(shutdown.load());
    EXPECT_EQ((*hash_counters)[0].load(), 0u);
}

TEST(OsRandom, FillsWhatItIsAsked) {
    std::array<std::uint8_t, 52> a{}, b{};
    ASSERT_TRUE(os_random(a));
    ASSERT_TRUE(os_random(b));
    EXPECT_NE(a, b);
}

}  // namespace
