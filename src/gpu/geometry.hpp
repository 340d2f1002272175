// The rules of the GPU back end that depend on the device and the kernel
// variant: the default launch geometry, the largest block a variant may be
// launched with, and the variants worth trying on a GPU, with the GPUs on
// which fast86 failed its validation.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "src/base/error.hpp"
#include "src/gpu/kernel_kind.hpp"
#include "src/gpu/variant_limits.hpp"

struct LaunchGeometry {
    std::uint32_t blocks;
    std::uint32_t threads;
    std::uint32_t iters;

    bool operator==(const LaunchGeometry&) const = default;
};

// --blocks, --threads and --iters, each absent or a value start-up has
// already checked.
struct GeometryOverrides {
    std::optional<std::uint32_t> blocks;
    std::optional<std::uint32_t> threads;
    std::optional<std::uint32_t> iters;
};

// The most blocks a launch's grid may have, and the most threads one launch
// may run: the kernels' thread index is an unsigned 32-bit blockIdx.x ×
// blockDim.x + threadIdx.x, and past 2^32 threads it wraps, so counters
// would repeat.
inline constexpr std::uint64_t MAX_GRID_BLOCKS = 0x7fffffff;
inline constexpr std::uint64_t MAX_LAUNCH_THREADS = std::uint64_t{1} << 32;

// Whether `geometry` keeps both bounds, whatever the variant; fails naming
// the one it breaks.
Result<void> check_launch_bounds(const LaunchGeometry& geometry);

// The variant's geometry on `device`, blocks scaled with its multiprocessor
// count, then each override in its place. Fails when the multiprocessor
// count cannot be read, or when the overrides take the geometry past the
// launch bounds.
Result<LaunchGeometry> default_geometry(const GeometryOverrides& overrides, int device, KernelKind kind);

// The variant's geometry for `sms` multiprocessors (at least 1), without
// overrides: the rule default_geometry applies after reading the count.
LaunchGeometry variant_default_geometry(KernelKind kind, int device, std::uint32_t sms);

// The variant's own plan, else the plan of its thread bound on `device`:
// 1,024 threads, 256, or fewer.
GeometryPlan geometry_plan(KernelKind kind, int device);

// The geometry of one step for `sms` multiprocessors.
LaunchGeometry geometry_of(const GeometryStep& step, std::uint32_t sms);

// The variants the auto-tune tries on the device's compute capability, in
// the table's order, fast86 left out on a device whose fast86 validation
// failed.
Result<std::vector<KernelKind>> kernel_candidates(int device);

// Leaves fast86 out of the device's candidates for the rest of the process.
void disable_fast86(int device);
