#include "src/gpu/variant_limits.hpp"

#include "cuda/modules.hpp"
#include "src/gpu/device.hpp"

Result<void> check_capability(int device, KernelKind kind, RefusalWording wording) {
    if (kind == KernelKind::none) return {};
    const KernelVariant& variant = kernel_variant(kind);
    if (variant.runs_on.all()) return {};
    const Result<int> capability = gpu_compute_capability(device);
    if (!capability) return fail(capability.error());
    if (variant.runs_on.contains(*capability)) return {};
    return fail("{}", wording == RefusalWording::at_open ? variant.refusal_at_open : variant.refusal_of_choice);
}

std::uint32_t gpu_max_threads(KernelKind kind, int device) {
    const KernelVariant& variant = kernel_variant(kind);
    if (variant.wider_bound && gpu_compute_capability(device).value_or(0) == variant.wider_bound->capability)
        return variant.wider_bound->threads;
    return static_cast<std::uint32_t>(variant_module(variant)->max_threads());
}
