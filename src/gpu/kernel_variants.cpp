#include "src/gpu/kernel_variants.hpp"

#include <cassert>

#include "cuda/modules.hpp"

const KernelVariant& kernel_variant(KernelKind kind) {
    for (const KernelVariant& variant : KERNEL_VARIANTS)
        if (variant.kind == kind) return variant;
    assert(false && "every kind but none has its row");
    return KERNEL_VARIANTS[0];
}

const QtcModule* variant_module(const KernelVariant& variant) { return qtc_module_named(variant.name); }
