#include "src/gpu/kernel_variants.hpp"

#include <cassert>

const KernelVariant& kernel_variant(KernelKind kind) {
    for (const KernelVariant& variant : KERNEL_VARIANTS)
        if (variant.kind == kind) return variant;
    assert(false && "every kind but none has its row");
    return KERNEL_VARIANTS[0];
}
