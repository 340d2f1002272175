#include "src/gpu/geometry.hpp"

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "src/gpu/device.hpp"

namespace {

// Device ordinals whose fast86 validation failed; only grows.
struct Fast86Disabled {
    std::mutex lock;
    std::vector<std::uint32_t> devices;
};

Fast86Disabled& fast86_disabled() {
    static Fast86Disabled list;
    return list;
}

bool is_fast86_disabled(int device) {
    Fast86Disabled& list = fast86_disabled();
    std::lock_guard guard(list.lock);
    return std::ranges::find(list.devices, static_cast<std::uint32_t>(device)) != list.devices.end();
}

constexpr GeometryStep WIDE_TUNER[] = {{32, 1024, 4}, {64, 1024, 1}, {128, 256, 2}, {64, 256, 2}, {128, 256, 4}};
constexpr GeometryStep MID_TUNER[] = {{64, 256, 2}, {128, 256, 4}, {256, 256, 2}, {64, 256, 4}, {256, 256, 4}};
constexpr GeometryStep NARROW_TUNER[] = {{84, 128, 2}, {168, 128, 4}, {336, 128, 2}, {84, 128, 4}, {336, 128, 4}};

constexpr GeometryPlan plan_by_bound(std::uint32_t bound) {
    if (bound >= 1024) return {{32, 1024, 2}, WIDE_TUNER};
    if (bound >= 256) return {{128, 256, 2}, MID_TUNER};
    return {{168, 128, 2}, NARROW_TUNER};
}

}  // namespace

GeometryPlan geometry_plan(KernelKind kind, int device) {
    const KernelVariant& variant = kernel_variant(kind);
    if (variant.geometry) return *variant.geometry;
    return plan_by_bound(gpu_max_threads(kind, device));
}

LaunchGeometry geometry_of(const GeometryStep& step, std::uint32_t sms) {
    return {step.blocks_per_sm * sms, step.threads, step.iters};
}

LaunchGeometry variant_default_geometry(KernelKind kind, int device, std::uint32_t sms) {
    return geometry_of(geometry_plan(kind, device).first, sms);
}

Result<void> check_launch_bounds(const LaunchGeometry& geometry) {
    if (geometry.blocks > MAX_GRID_BLOCKS)
        return fail("{} blocks: above the grid limit of {}", geometry.blocks, MAX_GRID_BLOCKS);
    const std::uint64_t threads = std::uint64_t{geometry.blocks} * geometry.threads;
    if (threads > MAX_LAUNCH_THREADS)
        return fail("{} blocks × {} threads: {} threads a launch, above 2^32 (the thread index is 32 bits)",
                    geometry.blocks, geometry.threads, threads);
    return {};
}

Result<LaunchGeometry> default_geometry(const GeometryOverrides& overrides, int device, KernelKind kind) {
    const Result<int> sms = gpu_sm_count(device);
    if (!sms) return fail(sms.error());
    LaunchGeometry g = variant_default_geometry(kind, device, static_cast<std::uint32_t>(std::max(*sms, 1)));
    g.blocks = overrides.blocks.value_or(g.blocks);
    g.threads = overrides.threads.value_or(g.threads);
    g.iters = overrides.iters.value_or(g.iters);
    if (auto bounded = check_launch_bounds(g); !bounded)
        return fail(std::move(bounded.error()).context(fmt::format("--blocks/--threads with {}", kernel_name(kind))));
    return g;
}

Result<std::vector<KernelKind>> kernel_candidates(int device) {
    const Result<int> capability = gpu_compute_capability(device);
    if (!capability) return fail(capability.error());
    std::vector<KernelKind> kinds;
    for (const KernelVariant& variant : KERNEL_VARIANTS)
        if (variant.tuned_on.contains(*capability)) kinds.push_back(variant.kind);
    if (is_fast86_disabled(device)) std::erase(kinds, KernelKind::fast86);
    return kinds;
}

void disable_fast86(int device) {
    Fast86Disabled& list = fast86_disabled();
    std::lock_guard guard(list.lock);
    const auto ordinal = static_cast<std::uint32_t>(device);
    if (std::ranges::find(list.devices, ordinal) == list.devices.end()) list.devices.push_back(ordinal);
}
