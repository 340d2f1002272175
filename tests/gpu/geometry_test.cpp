// Launch geometry, thread bounds and kernel candidates on stand-in devices
// with the multiprocessor counts of real cards.
#include <gtest/gtest.h>

#include <vector>

#include "src/gpu/geometry.hpp"
#include "tests/gpu/stand_in_devices.hpp"

namespace {

class Geometry : public StandInDevices {};

using K = KernelKind;

TEST_F(Geometry, DefaultsScaleWithTheMultiprocessors) {
    struct Case {
        K kind;
        int device;
        GeometryOverrides overrides;
        LaunchGeometry want;
    };
    const Case cases[] = {
        {K::energy, DEVICE_90, {}, {16896, 256, 2}},
        {K::compact, DEVICE_90, {}, {16896, 256, 2}},
        {K::hb89, DEVICE_89, {}, {8192, 1024, 1}},
        {K::fast89, DEVICE_89, {}, {21504, 128, 2}},
        {K::fast86, DEVICE_86, {}, {10496, 256, 2}},
        {K::energy, DEVICE_120, {}, {5440, 1024, 2}},
        {K::fast120, DEVICE_120, {}, {21760, 256, 2}},
        // A thread override keeps the variant's block count.
        {K::energy, DEVICE_90, {std::nullopt, 64, std::nullopt}, {16896, 64, 2}},
        {K::hb89, DEVICE_89, {1000, std::nullopt, 4}, {1000, 1024, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << kernel_name(c.kind) << " on device " << c.device);
        const Result<LaunchGeometry> g = default_geometry(c.overrides, c.device, c.kind);
        ASSERT_TRUE(g) << g.error().message();
        EXPECT_EQ(*g, c.want) << g->blocks << 'x' << g->threads << 'x' << g->iters;
    }
}

TEST(LaunchBounds, GridLimitAndTwoToThe32ThreadsALaunch) {
    struct Case {
        LaunchGeometry geometry;
        const char* refusal;  // null: within the bounds
    };
    const Case cases[] = {
        {{0x7fffffff, 2, 1}, nullptr},
        {{4194304, 1024, 9}, nullptr},
        {{0x80000000u, 1, 1}, "2147483648 blocks: above the grid limit of 2147483647"},
        {{0xffffffffu, 1024, 1}, "4294967295 blocks: above the grid limit of 2147483647"},
        {{4194305, 1024, 1},
         "4194305 blocks × 1024 threads: 4294968320 threads a launch, above 2^32 (the thread index is 32 bits)"},
        {{0x7fffffff, 3, 1},
         "2147483647 blocks × 3 threads: 6442450941 threads a launch, above 2^32 (the thread index is 32 bits)"},
    };
    for (const Case& c : cases) {
        const Result<void> checked = check_launch_bounds(c.geometry);
        if (c.refusal == nullptr)
            EXPECT_TRUE(checked) << checked.error().message();
        else
            EXPECT_EQ(checked ? "accepted" : checked.error().message(), c.refusal);
    }
}

TEST_F(Geometry, OverridesPastTheLaunchBoundsAreRefusedWithTheVariantsThreads) {
    // 5,000,000 blocks: 1.28 billion threads of energy's 256, 5.12 billion
    // of hb89's 1,024.
    const GeometryOverrides blocks{5'000'000, std::nullopt, std::nullopt};
    EXPECT_TRUE(default_geometry(blocks, DEVICE_89, K::energy));
    const Result<LaunchGeometry> hb89 = default_geometry(blocks, DEVICE_89, K::hb89);
    ASSERT_FALSE(hb89);
    EXPECT_EQ(hb89.error().chain(),
              "--blocks/--threads with hb89: 5000000 blocks × 1024 threads: 5120000000 threads a launch, above 2^32 "
              "(the thread index is 32 bits)");
}

TEST_F(Geometry, ThreadBoundsOfEachVariant) {
    const std::uint32_t bounds[] = {256, 256, 1024, 128, 256, 256};
    for (K kind : ALL_KERNEL_KINDS) EXPECT_EQ(gpu_max_threads(kind, DEVICE_90), bounds[static_cast<int>(kind)]);
    EXPECT_EQ(gpu_max_threads(K::energy, DEVICE_120), 1024u);
    EXPECT_EQ(gpu_max_threads(K::compact, DEVICE_120), 256u);
    sim::fail_call("cudaDeviceGetAttribute", 1, cudaErrorUnknown);
    EXPECT_EQ(gpu_max_threads(K::energy, DEVICE_120), 256u) << "an unreadable capability gives energy's own bound";
}

TEST_F(Geometry, CandidatesFollowTheComputeCapability) {
    struct Case {
        int device;
        std::vector<K> want;
    };
    const Case cases[] = {
        {DEVICE_86, {K::energy, K::compact, K::fast86}},
        {DEVICE_89, {K::energy, K::compact, K::hb89, K::fast89}},
        {DEVICE_90, {K::energy, K::compact}},
        {DEVICE_120, {K::energy, K::compact, K::fast120}},
    };
    for (const Case& c : cases) EXPECT_EQ(kernel_candidates(c.device).value(), c.want) << c.device;
}

// The list of disabled devices lives for the process: this is the only test
// that adds to it, for the device it looks at alone.
TEST_F(Geometry, DisabledFast86LeavesTheCandidatesForGood) {
    disable_fast86(DEVICE_86);
    EXPECT_EQ(kernel_candidates(DEVICE_86).value(), (std::vector<K>{K::energy, K::compact}));
    disable_fast86(DEVICE_86);
    EXPECT_EQ(kernel_candidates(DEVICE_86).value(), (std::vector<K>{K::energy, K::compact}));
    EXPECT_EQ(kernel_candidates(DEVICE_89).value().size(), 4u) << "other devices keep theirs";
}

TEST_F(Geometry, UnreadableDevices) {
    const Result<LaunchGeometry> no_sm = default_geometry({}, DEVICE_NO_SM, K::energy);
    ASSERT_FALSE(no_sm);
    EXPECT_EQ(no_sm.error().message(), "cudaDeviceGetAttribute(SM, 4): no error");

    // The capability query is the second attribute read of the energy rule:
    // it fails, and the rule goes on as off 12.0.
    sim::fail_call("cudaDeviceGetAttribute", 2, cudaErrorUnknown);
    const Result<LaunchGeometry> energy = default_geometry({}, DEVICE_120, K::energy);
    ASSERT_TRUE(energy);
    EXPECT_EQ(*energy, (LaunchGeometry{128 * 170, 256, 2}));

    sim::fail_call("cudaDeviceGetAttribute", 1, cudaErrorUnknown);
    const Result<std::vector<K>> candidates = kernel_candidates(DEVICE_120);
    ASSERT_FALSE(candidates);
    EXPECT_EQ(candidates.error().message(), "CUDA capability query failed: 999");
}

}  // namespace
