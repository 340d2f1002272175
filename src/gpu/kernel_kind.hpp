// The names a user types for the kernel variants.
#pragma once

#include <string>
#include <string_view>

#include "src/gpu/kernel_variants.hpp"

// The variant's name from its row ("none" for none).
std::string_view kernel_name(KernelKind kind);

// Trims Unicode white space and lower-cases ASCII letters, then matches a
// variant's name or alias ("e", "c"); anything else ("auto" and the empty
// text included) is KernelKind::none.
KernelKind parse_kernel_name(std::string_view text);

// Every variant's name in the table's order, the last after "or":
// "energy, compact, hb89, fast89, fast120 or fast86".
std::string kernel_name_list();

// The variant mined when none is named: energy.
constexpr KernelKind chosen_or_energy(KernelKind kind) { return kind == KernelKind::none ? KernelKind::energy : kind; }
