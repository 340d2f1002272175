#include "src/gpu/geometry.hpp"

#include <algorithm>
#include <mutex>

#include "cuda/modules.hpp"
#include "src/gpu/gpu_context.hpp"

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

std::uint32_t own_max_threads(KernelKind kind) {
    return static_cast<std::uint32_t>(qtc_module(static_cast<int>(kind))->max_threads());
}

// Whether the device is of compute capability 12.0; an unreadable
// capability counts as another.
bool is_cc120(int device) { return gpu_compute_capability(device).value_or(0) == 120; }

// R(m): blocks per multiprocessor, threads and iterations by the largest block m.
LaunchGeometry rule_by_bound(std::uint32_t m, std::uint32_t sms) {
    if (m >= 256) return {128u * sms, 256, 2};
    return {168u * sms, 128, 2};
}

}  // namespace

LaunchGeometry variant_default_geometry(KernelKind kind, int device, std::uint32_t sms) {
    switch (kind) {
        case KernelKind::energy: {
            const std::uint32_t m = gpu_max_threads(kind, device);
            if (m >= 1024) return {32u * sms, 1024, 2};
            return rule_by_bound(m, sms);
        }
        case KernelKind::hb89:
            return {64u * sms, 1024, 1};
        default:
            return rule_by_bound(own_max_threads(kind), sms);
    }
}

Result<LaunchGeometry> default_geometry(const GeometryOverrides& overrides, int device, KernelKind kind) {
    const Result<int> sms = gpu_sm_count(device);
    if (!sms) return fail(sms.error());
    LaunchGeometry g = variant_default_geometry(kind, device, static_cast<std::uint32_t>(std::max(*sms, 1)));
    g.blocks = overrides.blocks.value_or(g.blocks);
    g.threads = overrides.threads.value_or(g.threads);
    g.iters = overrides.iters.value_or(g.iters);
    return g;
}

std::uint32_t gpu_max_threads(KernelKind kind, int device) {
    if (kind == KernelKind::energy && is_cc120(device)) return 1024;
    return own_max_threads(kind);
}

Result<std::vector<KernelKind>> kernel_candidates(int device) {
    const Result<int> capability = gpu_compute_capability(device);
    if (!capability) return fail(capability.error());
    const int cc = *capability;
    std::vector<KernelKind> kinds{KernelKind::energy, KernelKind::compact};
    if (cc == 86) kinds.push_back(KernelKind::fast86);
    if (cc == 120) kinds.push_back(KernelKind::fast120);
    if (cc == 89) kinds.insert(kinds.end(), {KernelKind::hb89, KernelKind::fast89});
    if (is_fast86_disabled(device)) std::erase(kinds, KernelKind::fast86);
    return kinds;
}

void disable_fast86(int device) {
    Fast86Disabled& list = fast86_disabled();
    std::lock_guard guard(list.lock);
    const auto ordinal = static_cast<std::uint32_t>(device);
    if (std::ranges::find(list.devices, ordinal) == list.devices.end()) list.devices.push_back(ordinal);
}
