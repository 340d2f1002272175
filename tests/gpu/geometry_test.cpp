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
