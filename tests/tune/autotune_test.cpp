// The tuning decision and the auto-tune with a scripted benchmark on
// stand-in devices, and the benchmark itself on a stand-in GPU with a
// clock that moves by fixed steps.
#include <gtest/gtest.h>

#include <deque>

#include "src/tune/autotune.hpp"
#include "tests/gpu/stand_in_devices.hpp"

namespace {

using K = KernelKind;

// Answers each benchmark call with the next scripted rate, and records it.
struct ScriptedBench {
    struct Call {
        K kind;
        LaunchGeometry geometry;
        BenchSeconds warm_up;
    };
    std::deque<Result<double>> rates;
    std::vector<Call> calls;
    std::vector<std::string> lines;

    AutotuneSeams seams() {
        AutotuneSeams s;
        s.bench = [this](int, K kind, const LaunchGeometry& g, BenchSeconds w, BenchSeconds) -> Result<double> {
            calls.push_back({kind, g, w});
            if (rates.empty()) return fail("unscripted benchmark");
            Result<double> r = rates.front();
            rates.pop_front();
            return r;
        };
        s.unix_seconds = [] { return std::int64_t{1765000000}; };
        s.lines = {[this](std::string_view l) { lines.emplace_back(l); }, [](std::string_view) {}};
        return s;
    }
};

// The record of a decision, or its error.
Result<Tuning> record_of(Result<TuningDecision> decision) {
    if (!decision) return std::unexpected(decision.error());
    return decision->record;
}

class Autotune : public StandInDevices {
protected:
    static void SetUpTestSuite() { setenv("NO_COLOR", "1", 1); }
};

TEST_F(Autotune, SpecialisedVariantsMustBeatTheBestTwiceAndGeometriesByTheMargin) {
    ScriptedBench bench;
    // Kernel phase on 8.9 (energy, compact, hb89, fast89), then energy's
    // geometry candidates.
    bench.rates = {100.0, 99.0, 103.0, 101.0, 102.0, 104.0, 100.0, 106.0, 100.2, 101.0, 101.3, 101.4, 50.0};
    const Result<Tuning> t = record_of(autotune_gpu(DEVICE_89, "Sim RTX 4090", 128, K::none, std::nullopt, bench.seams()));
    ASSERT_TRUE(t) << t.error().message();
    const std::vector<std::string> want_lines = {
        "[tune] GPU1 energy  16384×256×2 : 100.0 MH/s",
        "[tune] GPU1 compact 16384×256×2 : 99.0 MH/s",
        "[tune] GPU1 hb89    8192×1024×1 : 103.0 MH/s",
        // min(103, 102) is not above 1.02 × max(100, 101) = 103.02.
        "[tune] GPU1 hb89: repeatable +2% not confirmed; keeping energy",
        // min(104, 106) is above 1.02 × max(100, 100): fast89 becomes the best, at 104.
        "[tune] GPU1 fast89  21504×128×2 : 104.0 MH/s",
        "[tune] GPU1 fast89  10752×128×2 : 100.2 MH/s",  // below 104 × 1.003
        "[tune] GPU1 fast89  21504×128×4 : 101.0 MH/s",
        "[tune] GPU1 fast89  43008×128×2 : 101.3 MH/s",
        "[tune] GPU1 fast89  10752×128×4 : 101.4 MH/s",
        "[tune] GPU1 fast89  43008×128×4 : 50.0 MH/s",
    };
    EXPECT_EQ(bench.lines, want_lines);
    EXPECT_EQ(*t, (Tuning{"fast89", 21504, 128, 2, 104.0, "unix 1765000000 on Sim RTX 4090", "1.0.0"}));
    ASSERT_EQ(bench.calls.size(), 13u);
    EXPECT_EQ(bench.calls[3].kind, K::energy) << "the best measured again";
    EXPECT_EQ(bench.calls[3].warm_up, KERNEL_WARM_UP);
    EXPECT_EQ(bench.calls[8].warm_up, GEOMETRY_WARM_UP);
}

TEST_F(Autotune, GeometryPhaseAdoptsOnlyCandidatesAboveTheMargin) {
    ScriptedBench bench;
    // compact after energy becomes the best at once: no re-measurement for it.
    bench.rates = {99.0, 100.0, 100.2, 101.0, 101.3, 101.4, 50.0};
    const Result<Tuning> t = record_of(autotune_gpu(DEVICE_90, "H", 2, K::none, std::nullopt, bench.seams()));
    ASSERT_TRUE(t);
    EXPECT_EQ(bench.calls.size(), 7u);
    // 100.2 is not above 100.3; 101.0 is, and the threshold becomes 101.303,
    // which 101.3 misses and 101.4 passes.
    EXPECT_EQ(*t, (Tuning{"compact", 128, 256, 4, 101.4, "unix 1765000000 on H", "1.0.0"}));
}

TEST_F(Autotune, KernelPhaseRules) {
    struct Case {
        const char* what;
        int device;
        K kind;
        std::optional<LaunchGeometry> manual;
        std::deque<Result<double>> rates;
        std::string want;  // the variant chosen, or the error chain
    };
    const Case cases[] = {
        {"equal figures keep the earlier kernel", DEVICE_90, K::none, LaunchGeometry{8, 64, 1}, {100.0, 100.0}, "energy"},
        {"a fixed kernel is measured alone", DEVICE_89, K::fast89, LaunchGeometry{8, 64, 1}, {5.0}, "fast89"},
        {"512 threads: every kernel skipped", DEVICE_90, K::none, LaunchGeometry{8, 512, 1}, {}, "aucun noyau mesuré"},
        {"512 threads on 12.0: energy alone", DEVICE_120, K::none, LaunchGeometry{8, 512, 1}, {7.0}, "energy"},
        {"a failed first measurement", DEVICE_90, K::none, LaunchGeometry{8, 64, 1},
         {7.0, std::unexpected(Error("GPU 2 (compact): cudaMalloc: out of memory"))},
         "mesure du noyau compact: GPU 2 (compact): cudaMalloc: out of memory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedBench bench;
        bench.rates = c.rates;
        const Result<Tuning> t = record_of(autotune_gpu(c.device, "L", 2, c.kind, c.manual, bench.seams()));
        EXPECT_EQ(t ? t->variant : fmt::format("{:#}", t.error()), c.want);
        EXPECT_TRUE(bench.rates.empty()) << "with a manual geometry there is no geometry phase";
        if (t) {
            EXPECT_EQ(LaunchGeometry({t->blocks, t->threads, t->iters}), *c.manual);
        }
    }
}

TEST_F(Autotune, DecisionFromTheCommandLineTheCacheOrAMeasurement) {
    const LaunchGeometry base{256, 256, 2};
    const Tuning cached_fast89{"fast89", 336, 128, 2, 321.5, "unix 1 on L", "1.0.0"};
    struct Case {
        const char* what;
        TuningInputs in;
        std::optional<Tuning> cached;
        std::deque<Result<double>> rates;
        std::string variant;
        K kind;  // the variant the slot runs
        std::vector<std::string> first_lines;
        bool stored;
    };
    auto inputs = [&](K choice, bool manual, bool retune, bool no_autotune) {
        return TuningInputs{DEVICE_89, "L", 2, choice, base, manual, retune, no_autotune, "key"};
    };
    // A cached geometry the command line would refuse: measured again and
    // stored in its place, as with --retune.
    auto broken = [&](const char* what, Tuning record) {
        return Case{what, inputs(K::none, false, false, false), record,
                    {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0, 13.0}, "compact", K::compact,
                    {"[tune] GPU1 L: measuring kernels and batch geometry (about 15 s)…"}, true};
    };
    const Case cases[] = {
        {"--no-autotune under auto", inputs(K::none, true, false, true), cached_fast89, {}, "energy", K::energy, {}, false},
        {"a usable cached record", inputs(K::none, false, false, false), cached_fast89, {}, "fast89", K::fast89,
         {"[tune] GPU1 L: cached — fast89 336×128×2 (321.5 MH/s when measured; --retune to measure again)"}, false},
        {"--retune measures and stores", inputs(K::none, false, true, false), cached_fast89,
         {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0, 12.0, 13.0}, "compact", K::compact,
         {"[tune] GPU1 L: measuring kernels and batch geometry (about 15 s)…"}, true},
        {"another fixed kernel: measured, not stored", inputs(K::energy, true, false, false), cached_fast89, {9.0},
         "energy", K::energy, {"[tune] GPU1 L: measuring kernels and batch geometry (about 15 s)…"}, false},
        {"a manual geometry the record does not have", inputs(K::none, true, false, false), cached_fast89,
         {1.0, 2.0, 3.0, 4.0, 5.0}, "compact", K::compact, {"[tune] GPU1 L: measuring kernels and batch geometry (about 15 s)…"}, false},
        {"an unknown variant under a fixed kernel: measured, not stored", inputs(K::energy, false, false, false),
         Tuning{"turbo", 64, 256, 2, 1.0, "m", "1.0.0"}, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, "energy", K::energy,
         {"[tune] GPU1 L: measuring kernels and batch geometry (about 15 s)…"}, false},
        broken("a record of 0 blocks", {"fast89", 0, 128, 2, 321.5, "m", "1.0.0"}),
        broken("a record of 0 threads", {"fast89", 336, 0, 2, 321.5, "m", "1.0.0"}),
        broken("a record of 0 iterations", {"fast89", 336, 128, 0, 321.5, "m", "1.0.0"}),
        broken("a record past the grid limit", {"fast89", 2147483648u, 128, 2, 321.5, "m", "1.0.0"}),
        broken("a record past 2^32 threads a launch", {"fast89", 33554433, 128, 2, 321.5, "m", "1.0.0"}),
        // Records the tuner could not have written.
        broken("control characters as the variant",
               {"\x1b[2J\x1b]0;title\x07\r\nsummary: forged\n", 336, 128, 2, 321.5, "m", "1.0.0"}),
        broken("15 MiB as the variant", {std::string(15 << 20, 'A'), 336, 128, 2, 321.5, "m", "1.0.0"}),
        broken("a variant name with white space", {" fast89\r\n", 336, 128, 2, 321.5, "m", "1.0.0"}),
        broken("an unknown variant", {"turbo", 336, 128, 2, 321.5, "m", "1.0.0"}),
        broken("a batch of hours", {"fast89", 2, 32, 4294967295u, 321.5, "m", "1.0.0"}),
        broken("a batch far beyond the tuner's", {"fast89", 336, 128, 64, 321.5, "m", "1.0.0"}),
        broken("a rate beyond any card", {"fast89", 336, 128, 2, 1e308, "m", "1.0.0"}),
        broken("a negative rate", {"fast89", 336, 128, 2, -1.0, "m", "1.0.0"}),
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TuneCache cache;
        if (c.cached) cache.entries["key"] = *c.cached;
        ScriptedBench bench;
        bench.rates = c.rates;
        const Result<TuningDecision> decision = decide_tuning(c.in, cache, bench.seams());
        ASSERT_TRUE(decision) << fmt::format("{:#}", decision.error());
        const Tuning* t = &decision->record;
        EXPECT_EQ(t->variant, c.variant);
        EXPECT_EQ(decision->kind, c.kind);
        EXPECT_TRUE(bench.rates.empty());
        ASSERT_GE(bench.lines.size(), c.first_lines.size());
        EXPECT_EQ(std::vector<std::string>(bench.lines.begin(), bench.lines.begin() + c.first_lines.size()),
                  c.first_lines);
        EXPECT_EQ(cache.changed, c.stored);
        for (const std::string& line : bench.lines) {
            EXPECT_LT(line.size(), 300u);
            EXPECT_EQ(line.find_first_of("\x07\x1b\r\n"), std::string::npos) << line;
        }
        EXPECT_EQ(cache.entries.at("key") == *t, c.stored || c.variant == c.cached->variant);
        if (c.in.no_autotune) {
            EXPECT_TRUE(bench.lines.empty());
            EXPECT_EQ(*t, (Tuning{"energy", 256, 256, 2, 0.0, "not measured (--no-autotune)", "1.0.0"}));
        }
        if (!c.first_lines.empty() && c.first_lines[0].find("measuring") != std::string::npos) {
            EXPECT_EQ(bench.lines.back(), fmt::format("[tune] GPU1 → {} {}×{}×{} = {:.1f} MH/s", t->variant, t->blocks,
                                                      t->threads, t->iters, t->mhs));
        }
    }
}

// A clock that moves half a second each time it is read.
TEST_F(Autotune, BenchmarkCountsTheBatchesOfTheWindowOnly) {
    double now = 0;
    const MonoClock clock = [&now] {
        const MonoTime t{std::chrono::duration_cast<std::chrono::steady_clock::duration>(BenchSeconds(now))};
        now += 0.5;
        return t;
    };
    // t0 = 0; collects at 0.5, 1.0 (the window opens, not counted), 1.5 … 3.5
    // (closes it): five batches of 2,048 nonces in 2.5 s.
    const Result<double> rate = bench_geometry(DEVICE_90, K::energy, {8, 64, 4}, BenchSeconds(0.8), BenchSeconds(2.5), clock);
    ASSERT_TRUE(rate) << rate.error().message();
    EXPECT_DOUBLE_EQ(*rate, 5 * 2048 / 2.5 / 1e6);
    EXPECT_EQ(sim::live_objects().streams, 0u);

    const Result<double> refused = bench_geometry(DEVICE_90, K::compact, {8, 512, 4}, BenchSeconds(0), BenchSeconds(0));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "invalid launch geometry for compact");
    EXPECT_EQ(sim::live_objects().streams, 0u);
}

}  // namespace
