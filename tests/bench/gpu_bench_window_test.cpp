// The GPU bench's window on the stand-in: a sound kernel passes, and a
// wrong result on its way back, or a count the target's odds cannot
// explain, fails the window instead of printing a rate.
#include "bench/gpu_bench_window.hpp"

#include <gtest/gtest.h>

#include "sim/cuda_runtime.hpp"

namespace {

constexpr LaunchGeometry SMALL{4, 64, 2};
constexpr BenchClockSeconds NO_WARM_UP{0}, SHORT{0.05};

Result<BenchWindow> small_window(GpuContext& gpu) {
    return measure_window(gpu, SMALL, bench_job(odds_bits_for(512)), NO_WARM_UP, SHORT);
}

TEST(GpuBenchWindow, ASoundKernelPassesItsHostCheck) {
    Result<GpuContext> gpu = gpu_open(0, 256, KernelKind::compact);
    ASSERT_TRUE(gpu) << gpu.error().message();
    const Result<BenchWindow> w = small_window(*gpu);
    ASSERT_TRUE(w) << w.error().message();
    EXPECT_EQ(odds_bits_for(512), 5);
    EXPECT_GT(w->nonces, 0u);
    EXPECT_EQ(w->nonces % 512, 0u);
    EXPECT_EQ(w->checked, w->found);
    EXPECT_GT(w->checked, 0u);
    EXPECT_TRUE(w->kernel_ms.has_value());
    EXPECT_EQ(window_verdict(*w, 5), "ok");
}

TEST(GpuBenchWindow, ACandidateCorruptedOnItsWayBackFailsTheWindow) {
    struct Case {
        const char* what;
        std::size_t byte;
        std::string verdict;
    };
    // The candidate list of the second batch, the first one the window
    // counts: byte 0 moves the first counter by one (its hash misses the
    // target), byte 7 moves it 2^56 past its batch.
    const Case cases[] = {
        {"low byte", 0, "FAIL: 1 of "},
        {"high byte", 7, "FAIL: 1 candidates outside their batch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result<GpuContext> gpu = gpu_open(0, 256, KernelKind::compact);
        ASSERT_TRUE(gpu) << gpu.error().message();
        sim::corrupt_copy_to_host(8 * 256, 2, c.byte);
        const Result<BenchWindow> w = small_window(*gpu);
        sim::clear_faults();
        ASSERT_TRUE(w) << w.error().message();
        EXPECT_EQ(window_verdict(*w, 5).substr(0, c.verdict.size()), c.verdict) << window_verdict(*w, 5);
    }
}

TEST(GpuBenchWindow, TheCountMustMatchTheTargetsOdds) {
    struct Case {
        std::uint64_t found, over_cap;
        std::string verdict;
    };
    // 2^20 nonces at odds 2^-16: 16 expected.
    const Case cases[] = {
        {16, 0, "ok"},
        {0, 0, "FAIL: 0 found where 16 were expected"},
        {200, 0, "FAIL: 200 found where 16 were expected"},
        {16, 1, "FAIL: 1 batches past the capacity"},
    };
    for (const Case& c : cases) {
        BenchWindow w;
        w.nonces = 1u << 20;
        w.found = c.found;
        w.over_cap = c.over_cap;
        EXPECT_EQ(window_verdict(w, 16), c.verdict) << c.found;
    }
}

}  // namespace
