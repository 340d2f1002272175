// On a machine with an NVIDIA GPU: the GPU self-test of every kernel
// candidate of device 0 with its default geometry, through the real
// modules, printing the self-test's own lines; the variants the device
// cannot run are refused by their capability rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "src/gpu/device.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/gpu_context.hpp"
#include "src/gpu_selftest/selftest_gpu.hpp"

TEST(SelftestOnTheGpu, EveryCandidateOfDeviceZeroPasses) {
    const auto vectors = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    const Result<std::string> label = gpu_device_name(0);
    ASSERT_TRUE(label) << label.error().message();
    std::printf("device 0: %s\n", label->c_str());
    const Result<std::vector<KernelKind>> kinds = kernel_candidates(0);
    ASSERT_TRUE(kinds) << kinds.error().message();
    for (KernelKind kind : *kinds) {
        const Result<LaunchGeometry> g = default_geometry({}, 0, kind);
        ASSERT_TRUE(g) << g.error().message();
        std::printf("%s (%u x %u x %u):\n", std::string(kernel_name(kind)).c_str(), g->blocks, g->threads, g->iters);
        const Result<void> passed = selftest_gpu(0, vectors, *g, kind);
        EXPECT_TRUE(passed) << kernel_name(kind) << ": " << fmt::format("{:#}", passed.error());
    }
    for (KernelKind kind : ALL_KERNEL_KINDS) {
        if (std::ranges::find(*kinds, kind) != kinds->end() || kind == KernelKind::fast86) continue;
        const Result<GpuContext> gpu = gpu_open(0, 0, kind);
        if (!gpu) std::printf("%s: skipped: %s\n", std::string(kernel_name(kind)).c_str(), gpu.error().message().c_str());
    }
}
