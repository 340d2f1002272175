// The whole miner in-process: the shared objects, the job poller, the
// submit workers and GPU workers on stand-in GPUs, and the main loop,
// against the test pool bridge.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>

#include "src/main/main_loop.hpp"
#include "tests/gpu/stand_in_devices.hpp"
#include "tests/pool-bridge/bridge_process.hpp"
#include "tests/support/fake_time.hpp"
#include "tests/support/std_regex.hpp"

namespace {

using namespace std::chrono_literals;

// A share target of 0000ffff…: one nonce in 65536 makes a share.
const std::string SHARE_TARGET = "0000" + std::string(124, 'f');

struct Lines {
    std::mutex mutex;
    std::vector<std::string> out, err;
    LineOutput output{[this](std::string_view l) { std::lock_guard g(mutex); out.emplace_back(l); },
                      [this](std::string_view l) { std::lock_guard g(mutex); err.emplace_back(l); }};
    std::vector<std::string> matching(const std::regex& pattern) {
        std::lock_guard g(mutex);
        std::vector<std::string> found;
        for (const std::string& l : out)
            if (std::regex_search(l, pattern)) found.push_back(l);
        return found;
    }
};

std::multiset<std::string> thread_names() {
    std::multiset<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = dir ? readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.insert(name);
    }
    if (dir) closedir(dir);
    return names;
}

class MinerRun : public StandInDevices {
protected:
    MinerRun() : StandInDevices(SMALL_DEVICES) {}
    static void SetUpTestSuite() { setenv("NO_COLOR", "1", 1); }

    // Starts the miner on `kinds[i]` at device `devices[i]`, the main loop
    // stopping itself after `ticks` ticks (0: the flag is set before it
    // starts) once `until` holds, looked at every ten ticks (a slow build
    // needs longer), after 600 ticks at the latest; `during` runs at the
    // tick before the first stop it allows.
    int run(BridgeProcess& bridge, const std::vector<std::pair<KernelKind, int>>& gpus, int ticks,
            const std::function<void()>& during = {}, const std::function<bool()>& until = {}) {
        auto getwork = std::make_shared<SessionClients>();
        getwork->user = pool_client_new(bridge.url(), "qzMiner", "rig", 20s, false);
        auto submit = std::make_shared<SessionClients>();
        submit->user = pool_client_new(bridge.url(), "qzMiner", "rig", 5s, false);
        std::vector<GpuSlot> slots;
        for (auto [kind, device] : gpus) {
            Result<GpuContext> gpu = gpu_open(device, 256, kind);
            EXPECT_TRUE(gpu) << gpu.error().message();
            slots.push_back({std::move(*gpu), GEOMETRY});
        }
        MinerSeams seams;
        seams.shutdown_requested = &shutdown;
        seams.lines = lines.output;
        if (adjust_seams) adjust_seams(seams);
        std::optional<MinerThreads> miner = start_miner_threads(cli, std::move(slots),
                                                         std::make_shared<DevFeeState>(std::nullopt, 1, steady_now()),
                                                         getwork, submit, seams);
        EXPECT_EQ(miner->start_failure.has_value(), expect_start_failure);
        stats = miner->shared.mining.stats;
        hash_counters = miner->shared.hash_counters;
        stop_flag = miner->shared.mining.stop_flag;

        MainLoopSeams loop;
        loop.shutdown_requested = &shutdown;
        loop.lines = lines.output;
        loop.nvml_read = [](int device, std::uint32_t* power, std::uint32_t*, std::uint32_t* clock) {
            if (device != 2) return -1;
            *power = 250000;
            *clock = 1500;
            return 0;
        };
        int tick = 0;
        loop.sleep = [&](std::chrono::steady_clock::duration d) {
            std::this_thread::sleep_for(d);
            if (++tick == ticks - 1 && during) during();
            const bool reached = tick >= ticks && (!until || (tick % 10 == 0 && until()));
            if (reached || tick >= 600) shutdown.store(true);
        };
        if (ticks == 0) shutdown.store(true);
        last_end = run_main_loop(*miner, cli.stats_every, loop);
        return last_end.status;
    }

    std::uint64_t total_hashes() const {
        std::uint64_t sum = 0;
        for (const auto& c : *hash_counters) sum += c.load();
        return sum;
    }

    static constexpr LaunchGeometry GEOMETRY{8, 64, 4};  // 2048 nonces a batch
    Cli cli = [] {
        Cli c;
        c.stats_every = 1;
        c.submit_threads = 2;
        c.wait_ms = 1000;
        return c;
    }();
    std::atomic<bool> shutdown{false};
    Lines lines;
    std::shared_ptr<MinerStats> stats;
    std::shared_ptr<HashCounters> hash_counters;
    std::shared_ptr<std::atomic<bool>> stop_flag;
    std::function<void(MinerSeams&)> adjust_seams;
    bool expect_start_failure = false;
    ShutdownEnd last_end;
};

const std::regex STATS_LINE(
    R"(^\[stats\] \d+\.\d MH/s \((.*)\) \| accepted \d+ rejected 0 stale 0 duplicates 0 \(dedup \d+\) abandoned \d+ )"
    R"(\(queue full \d+\) \| queue \d+ \| blocks \d+ \(late \d+\) \| job \S+ \[user\] diff \S* \| GPU≠host 0 \| )"
    R"(net err \d+ \| \d+ s$)");
const std::regex SUMMARY_LINE(
    R"(^summary: (\d+) hashes in \d+ s \(\d+\.\d MH/s avg\) \| accepted (\d+) rejected 0 stale 0 duplicates 0 )"
    R"(\(dedup \d+\) abandoned \d+ \(queue full \d+\) \| blocks \d+ \| GPU≠host 0$)");

TEST_F(MinerRun, OneAndTwoWorkersMineRealJobsAndEveryShareVerifies) {
    struct Case {
        const char* what;
        std::vector<std::pair<KernelKind, int>> gpus;
        std::regex items;  // the per-GPU items of a [stats] line
    };
    const Case cases[] = {
        {"one worker", {{KernelKind::energy, DEVICE_90}},
         std::regex(R"(^GPU2 \d+\.\d \[250 W \d+\.\d\d MH/s/W 1500 MHz( busy \d+\.\d%)?\]$)")},
        // The device list 2, 1: slot 0 is GPU 2; hb89 keeps no busy figure
        // and GPU 1 has no NVML reading, so its item is the short form.
        {"two workers", {{KernelKind::energy, DEVICE_90}, {KernelKind::hb89, DEVICE_89}},
         std::regex(R"(^GPU2 \d+\.\d \[250 W \d+\.\d\d MH/s/W 1500 MHz( busy \d+\.\d%)?\], GPU1 \d+\.\d$)")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shutdown.store(false);
        lines.out.clear();
        BridgeProcess bridge({"--share-target", SHARE_TARGET, "--rotate-ms", "700"});
        std::multiset<std::string> names;
        EXPECT_EQ(run(bridge, c.gpus, 35, [&] { names = thread_names(); }, [&] { return bridge.counters().accepted > 0; }),
                  0);
        const BridgeCounters counters = bridge.counters();

        EXPECT_EQ(names.count("getwork"), 1u);
        EXPECT_EQ(names.count("submit0") + names.count("submit1"), 2u);
        EXPECT_EQ(names.count("gpu2"), 1u);
        EXPECT_EQ(names.count("gpu1"), c.gpus.size() == 2 ? 1u : 0u);

        EXPECT_EQ(counters.invalid, 0u);
        EXPECT_GT(counters.accepted, 0u);
        EXPECT_EQ(stats->gpu_mismatch.load(), 0u);
        for (const auto& h : *hash_counters) {
            EXPECT_GT(h.load(), 0u);
            EXPECT_EQ(h.load() % (std::uint64_t{GEOMETRY.blocks} * GEOMETRY.threads * GEOMETRY.iters), 0u)
                << "only whole batches are counted";
        }

        EXPECT_EQ(lines.matching(std::regex("^submission: ")),
                  std::vector<std::string>{
                      "submission: ≤ 2 in flight, queue ≤ 64 candidates (weakest dropped beyond, never a block)"});
        const std::vector<std::string> stats_lines = lines.matching(std::regex(R"(^\[stats\])"));
        EXPECT_GE(stats_lines.size(), 2u);
        for (const std::string& line : stats_lines) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, STATS_LINE)) << line;
            EXPECT_TRUE(std::regex_match(m[1].str(), c.items)) << line;
        }
        const std::vector<std::string> shutdown_lines =
            lines.matching(std::regex("^shutdown requested — finishing current batches…$"));
        EXPECT_EQ(shutdown_lines.size(), 1u);
        const std::vector<std::string> summary = lines.matching(std::regex("^summary: "));
        ASSERT_EQ(summary.size(), 1u);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(summary[0], m, SUMMARY_LINE)) << summary[0];
        EXPECT_EQ(std::stoull(m[1].str()), total_hashes());
        EXPECT_EQ(std::stoull(m[2].str()), stats->user.accepted.load());
        EXPECT_EQ(lines.out.back(), summary[0]) << "the summary comes last";
    }
}

TEST_F(MinerRun, GpuFailureMidMiningShutsTheWholeMinerDownInOrder) {
    BridgeProcess bridge({"--share-target", SHARE_TARGET});
    sim::fail_call("cudaEventSynchronize", 40, cudaErrorLaunchFailure);
    // The main loop would run for a minute; the failing worker ends it.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run(bridge, {{KernelKind::energy, DEVICE_90}, {KernelKind::energy, DEVICE_89}}, 600),
              GPU_FAILURE_STATUS)
        << "a run a GPU failure ended is a failure";
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    ASSERT_EQ(lines.err.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines.err[0],
                                 std::regex(R"(^\[GPU\] worker thread stopped on error: GPU [12] \[energy\]: )"
                                            R"(qtc_mine_collect: cudaEventSynchronize\(c->ev_done\[buf\]\): )"
                                            R"(unspecified launch failure$)")))
        << lines.err[0];
    EXPECT_TRUE(stop_flag->load());
    EXPECT_EQ(lines.matching(std::regex("^shutdown requested")).size(), 1u);
    EXPECT_EQ(lines.matching(SUMMARY_LINE).size(), 1u);
    EXPECT_EQ(sim::live_objects().streams, 0u) << "both contexts destroyed: the other worker stopped too";
}

// A miner thread that cannot be created, or one that runs out of memory:
// the threads that did start stop through the ordinary shutdown (its line,
// the summary), none is left running, and the status is a failure.
TEST_F(MinerRun, AThreadNotStartedOrOutOfMemoryStopsTheMinerInOrder) {
    struct Case {
        const char* what;
        std::function<void(MinerSeams&)> adjust;
        bool start_fails;
        std::string err;
    };
    const Case cases[] = {
        {"the second GPU's thread refused",
         [](MinerSeams& seams) {
             seams.before_thread_start = [](const std::string& name) {
                 if (name == "gpu1") throw std::system_error(EAGAIN, std::generic_category());
             };
         },
         true, ""},
        {"out of memory in the GPU workers",
         [](MinerSeams& seams) {
             seams.random = [](std::span<std::uint8_t>) -> Result<void> { throw std::bad_alloc(); };
         },
         false, "out of memory: the miner stops"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shutdown.store(false);
        lines.out.clear();
        lines.err.clear();
        adjust_seams = c.adjust;
        expect_start_failure = c.start_fails;
        BridgeProcess bridge({"--share-target", SHARE_TARGET});
        EXPECT_EQ(run(bridge, {{KernelKind::energy, DEVICE_90}, {KernelKind::energy, DEVICE_89}}, 600),
                  GPU_FAILURE_STATUS);
        if (c.start_fails) {
            ASSERT_TRUE(last_end.start_failure);
            EXPECT_EQ(last_end.start_failure->chain(),
                      "cannot start the miner's threads: " + std::generic_category().message(EAGAIN));
        } else {
            EXPECT_FALSE(last_end.start_failure);
            ASSERT_FALSE(lines.err.empty());
            EXPECT_NE(lines.err[0].find(c.err), std::string::npos) << lines.err[0];
        }
        EXPECT_FALSE(last_end.threads_left_running);
        EXPECT_EQ(lines.matching(std::regex("^shutdown requested")).size(), 1u);
        EXPECT_EQ(lines.matching(SUMMARY_LINE).size(), 1u);
        const std::multiset<std::string> names = thread_names();
        for (const char* name : {"getwork", "submit0", "submit1", "gpu1", "gpu2"}) EXPECT_EQ(names.count(name), 0u) << name;
        EXPECT_EQ(sim::live_objects().streams, 0u) << "every GPU context destroyed";
    }
}

TEST_F(MinerRun, StopWithinTheFirstTickGivesNoStatsLine) {
    BridgeProcess bridge;
    cli.submit_threads = 0;
    cli.submit_queue = 0;
    std::multiset<std::string> names;
    EXPECT_EQ(run(bridge, {{KernelKind::compact, DEVICE_90}}, 0), 0);
    EXPECT_TRUE(lines.matching(std::regex(R"(^\[stats\])")).empty());
    EXPECT_EQ(lines.matching(std::regex("^submission: ")),
              std::vector<std::string>{
                  "submission: ≤ 1 in flight, queue ≤ 1 candidates (weakest dropped beyond, never a block)"});
    EXPECT_EQ(lines.matching(std::regex("^shutdown requested")).size(), 1u);
    EXPECT_EQ(lines.matching(SUMMARY_LINE).size(), 1u);
}

// The main loop alone, on fake time: shared objects without threads, no GPU.
struct IdleMiner {
    IdleMiner() {
        MinerShared& s = miner.shared;
        s.busy_counters = std::make_shared<HashCounters>(0);
        s.mining.slot = std::make_shared<JobSlot>(time.clock());
        s.mining.stats = std::make_shared<MinerStats>();
        s.mining.stop_flag = std::make_shared<std::atomic<bool>>(false);
        s.hash_counters = std::make_shared<HashCounters>(0);
        s.mining.queue = std::make_shared<SubmitQueue>(s.mining.stats, 64);
        s.drain = std::make_shared<SubmitDrain>(std::make_shared<const SessionClients>());
    }

    // The [stats] lines of a main loop that runs for `span` of fake time.
    std::vector<std::string> stats_lines(std::uint64_t stats_every, std::chrono::seconds span) {
        MainLoopSeams loop;
        loop.shutdown_requested = &shutdown;
        loop.lines = lines.output;
        loop.clock = time.clock();
        loop.sleep = [&](std::chrono::steady_clock::duration d) {
            time.advance(d);
            if (time.slept() >= span) shutdown.store(true);
        };
        run_main_loop(miner, stats_every, loop);
        return lines.matching(std::regex(R"(^\[stats\])"));
    }

    FakeTime time;
    MinerThreads miner;
    std::atomic<bool> shutdown{false};
    Lines lines;
};

TEST(MainLoop, StatsPeriodOfAnySizeNeverWraps) {
    struct Case {
        std::uint64_t stats_every;
        std::size_t lines_in_a_minute;
    };
    const Case cases[] = {
        {0, 60},  // like 1
        {1, 60},
        {10, 6},
        {9223372036, 0},  // the most whole seconds the clock holds
        {9223372037, 0},
        {std::uint64_t{1} << 63, 0},
        {UINT64_MAX, 0},
    };
    for (const Case& c : cases) {
        IdleMiner idle;
        EXPECT_EQ(idle.stats_lines(c.stats_every, 60s).size(), c.lines_in_a_minute) << c.stats_every;
    }
}

TEST(MainLoop, StatsLineShowsThePoolsJobTextSafely) {
    IdleMiner idle;
    job_slot_install(*idle.miner.shared.mining.slot,
                     std::make_shared<const Job>(Job{std::nullopt, "j\x1b[2J#\xe2\x80\xae" "1", "\x07\xff", "", {}, {}, {},
                                                     {}, false}));
    const std::vector<std::string> lines = idle.stats_lines(1, 2s);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("| job j\\x1b[2J#\\u202e1 [user] diff \\x07\xef\xbf\xbd |"), std::string::npos) << lines[0];
    EXPECT_EQ(job_slot_get(*idle.miner.shared.mining.slot).second->job_id, "j\x1b[2J#\xe2\x80\xae" "1");
}

// GPU workers waiting for room in the block queue: a line at once, then at
// most one every 10 s while workers wait or more waits come (with the
// blocks waiting now, the waits in all and the time of the first), and a
// last one at the shutdown when waits came since the last line.
TEST(MainLoop, BlockWaitsAreReportedAtMostEveryTenSeconds) {
    struct Case {
        const char* what;
        bool new_wait_every_tick;  // from 3 s to 25 s, else one wait held all along
        std::vector<std::pair<int, int>> lines;  // blocks waiting, waits in all
    };
    const Case cases[] = {
        {"a new wait every tick", true, {{2, 1}, {2, 101}, {2, 201}, {0, 220}}},
        {"one long wait", false, {{2, 1}, {2, 1}, {2, 1}}},
    };
    for (const Case& c : cases) {
        IdleMiner idle;
        SubmitQueue& queue = *idle.miner.shared.mining.queue;
        MainLoopSeams loop;
        loop.shutdown_requested = &idle.shutdown;
        loop.lines = idle.lines.output;
        loop.clock = idle.time.clock();
        loop.sleep = [&](std::chrono::steady_clock::duration d) {
            idle.time.advance(d);
            const auto t = idle.time.slept();
            std::lock_guard lock(queue.lock);
            const bool waiting = t >= 3s && t < 25s;
            if (waiting && (c.new_wait_every_tick || queue.block_waits == 0)) ++queue.block_waits;
            queue.blocks_waiting = waiting ? 2 : 0;
            if (t >= 30s) idle.shutdown.store(true);
        };
        run_main_loop(idle.miner, 1000, loop);
        std::vector<std::string> want;
        for (auto [waiting, total] : c.lines)
            want.push_back(fmt::format("[pool] block queue full (1024 blocks) since 3 s: {} blocks wait for room, {} "
                                       "waits in all — the pool takes blocks slower than they are found; the GPUs "
                                       "pause until it catches up",
                                       waiting, total));
        EXPECT_EQ(idle.lines.matching(std::regex("block queue full")), want) << c.what;
    }
}

TEST(StatsLine, GpuItemsInTheirTwoForms) {
    struct Case {
        int device;
        double mhs;
        std::uint64_t busy;
        int rc;
        std::uint32_t power_mw, clock_mhz;
        const char* want;
    };
    const Case cases[] = {
        {0, 123.456, 975, 0, 250000, 1980, "GPU0 123.5 [250 W 0.49 MH/s/W 1980 MHz busy 97.5%]"},
        {1, 10.0, 0, 0, 80400, 1500, "GPU1 10.0 [80 W 0.12 MH/s/W 1500 MHz]"},
        {2, 5.04, 975, -1, 250000, 1500, "GPU2 5.0 [busy 97.5%]"},
        {3, 5.0, 0, -1, 0, 0, "GPU3 5.0"},
        {4, 7.24, 1000, 0, 0, 1500, "GPU4 7.2 [busy 100.0%]"},  // 0 W: the short form
    };
    for (const Case& c : cases)
        EXPECT_EQ(stats_gpu_item(c.device, c.mhs, c.busy, c.rc, c.power_mw, c.clock_mhz), c.want);
}

}  // namespace
