#include "src/gpu/kernel_variants.hpp"

#include <cassert>

#include "cuda/modules.hpp"

// A kind's row is the one at its own number.
static_assert([] {
    for (std::size_t i = 0; i < KERNEL_VARIANT_COUNT; ++i)
        if (static_cast<std::size_t>(KERNEL_VARIANTS[i].kind) != i) return false;
    return KernelKind::none == static_cast<KernelKind>(KERNEL_VARIANT_COUNT);
}());

const KernelVariant& kernel_variant(KernelKind kind) {
    assert(kind != KernelKind::none && "every kind but none has its row");
    return KERNEL_VARIANTS[static_cast<std::size_t>(kind)];
}

const QtcModule* variant_module(const KernelVariant& variant) { return qtc_module_named(variant.name); }
