// The kernel variants: every fact the miner keeps about one, a row each.
// The GPU handle, the launch geometry, the auto-tune and the start-up read
// this table; a new variant is one kind and one row here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
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

// Compute capabilities, 10 × major + minor; the empty set stands for all.
class Capabilities {
public:
    constexpr Capabilities(std::initializer_list<int> list) {
        std::size_t i = 0;
        for (int cc : list) values_[i++] = cc;
    }
    constexpr bool all() const { return values_[0] == 0; }
    constexpr bool contains(int cc) const {
        if (all()) return true;
        for (int v : values_)
            if (v == cc) return true;
        return false;
    }

private:
    std::array<int, 4> values_{};
};

// One launch geometry of a plan, its blocks counted per multiprocessor.
struct GeometryStep {
    std::uint32_t blocks_per_sm;
    std::uint32_t threads;
    std::uint32_t iters;
};

// The default geometry of a variant and the ones the auto-tune tries after
// it, in order.
struct GeometryPlan {
    GeometryStep first;
    std::span<const GeometryStep> tuner;
};

// A larger block bound than the module's own on one compute capability.
struct WiderBound {
    int capability;
    std::uint32_t threads;
};

struct KernelVariant {
    KernelKind kind;
    std::string_view name;
    std::string_view alias = {};  // empty: none
    Capabilities runs_on = {};    // empty: every capability
    Capabilities tuned_on = {};   // where the auto-tune tries it
    // The capability refusal as the context's opening words it, and as the
    // start-up's check of a fixed --kernel words it.
    std::string_view refusal_at_open = {};
    std::string_view refusal_of_choice = {};
    std::optional<WiderBound> wider_bound = std::nullopt;
    // Its own plan; without one, the plan of its thread bound.
    std::optional<GeometryPlan> geometry = std::nullopt;
    // A specialised variant must beat the best general one repeatably.
    bool specialised = false;
    bool kernel_timing = true;
};

inline constexpr GeometryStep HB89_TUNER[] = {{32, 1024, 1}, {64, 1024, 2}, {128, 1024, 1}};

inline constexpr KernelVariant KERNEL_VARIANTS[] = {
    {.kind = KernelKind::energy, .name = "energy", .alias = "e", .wider_bound = WiderBound{120, 1024}},
    {.kind = KernelKind::compact, .name = "compact", .alias = "c"},
    {.kind = KernelKind::hb89,
     .name = "hb89",
     .runs_on = {89},
     .tuned_on = {89},
     .refusal_at_open = "this kernel is available only on SM89 / RTX 40 GPUs",
     .refusal_of_choice = "this kernel requires an SM89 / RTX 40 GPU",
     .geometry = GeometryPlan{{64, 1024, 1}, HB89_TUNER},
     .specialised = true,
     .kernel_timing = false},
    {.kind = KernelKind::fast89,
     .name = "fast89",
     .runs_on = {89},
     .tuned_on = {89},
     .refusal_at_open = "this kernel is available only on SM89 / RTX 40 GPUs",
     .refusal_of_choice = "this kernel requires an SM89 / RTX 40 GPU",
     .specialised = true},
    {.kind = KernelKind::fast120,
     .name = "fast120",
     .runs_on = {120},
     .tuned_on = {120},
     .refusal_at_open = "fast120 requires an SM120 GPU",
     .refusal_of_choice = "fast120 requires an SM120 GPU",
     .specialised = true},
    {.kind = KernelKind::fast86,
     .name = "fast86",
     .runs_on = {86, 89},
     .tuned_on = {86},
     .refusal_at_open = "fast86 requires an SM86 GPU (SM89 allowed for compatibility tests)",
     .refusal_of_choice = "fast86 requires SM86 (SM89 allowed for compatibility tests)",
     .specialised = true},
};

inline constexpr std::size_t KERNEL_VARIANT_COUNT = std::size(KERNEL_VARIANTS);

struct QtcModule;

// The kernel module of the variant's name in the module list
// (cuda/CMakeLists.txt); null when the build carries none of that name.
const QtcModule* variant_module(const KernelVariant& variant);

// Every variant's kind, in the table's order.
inline constexpr std::array<KernelKind, KERNEL_VARIANT_COUNT> ALL_KERNEL_KINDS = [] {
    std::array<KernelKind, KERNEL_VARIANT_COUNT> kinds{};
    for (std::size_t i = 0; i < KERNEL_VARIANT_COUNT; ++i) kinds[i] = KERNEL_VARIANTS[i].kind;
    return kinds;
}();

// How the banner and the self-test name the build's set of kernels.
inline constexpr std::string_view BUILD_DESCRIPTION = "V17 + HB89 + Fast86/Fast89/Fast120 (auto-selected per GPU)";

// The row of one of the variants (never none).
const KernelVariant& kernel_variant(KernelKind kind);
