// The six kernel variants and the names a user types for them.
#pragma once

#include <cstdint>
#include <string_view>

enum class KernelKind : std::uint8_t {
    energy = 0,
    compact = 1,
    hb89 = 2,
    fast89 = 3,
    fast120 = 4,
    fast86 = 5,
    // No variant: a text that names none, or the choice "auto" at start-up.
    // A context never holds it.
    none = 6,
};

inline constexpr KernelKind ALL_KERNEL_KINDS[] = {KernelKind::energy, KernelKind::compact, KernelKind::hb89,
                                                  KernelKind::fast89, KernelKind::fast120, KernelKind::fast86};

// "energy", "compact", "hb89", "fast89", "fast120", "fast86" ("none" for 6).
std::string_view kernel_name(KernelKind kind);

// Trims Unicode white space and lower-cases ASCII letters, then matches
// "e"/"energy", "c"/"compact", "hb89", "fast89", "fast120", "fast86";
// anything else ("auto" and the empty text included) is KernelKind::none.
KernelKind parse_kernel_name(std::string_view text);
