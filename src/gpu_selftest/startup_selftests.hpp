// The three uses of the GPU self-test at start-up, each over the GPU list
// start-up built (a repeated ordinal included), after the GPUs have been
// listed and described. `choice` is the --kernel choice, KernelKind::none
// standing for "auto".
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "src/base/error.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/kernel_kind.hpp"
#include "src/gpu_selftest/selftest_gpu.hpp"
#include "src/selftest/vectors.hpp"

// How far the self-test mode has come, for a stop signal that ends the
// process half-way: whether it has begun and not passed, the GPU and kernel
// runs that passed, and the vectors they checked (each vector once per
// run). Read by a signal handler.
struct SelftestProgress {
    std::atomic<bool> unfinished{false};
    std::atomic<std::uint64_t> runs_passed{0};
    std::atomic<std::uint64_t> vectors_checked{0};
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free,
              "read by the signal handler");
extern SelftestProgress SELFTEST_PROGRESS;

// --selftest FILE: every GPU with every kernel it would use (the choice, or
// its candidates under "auto"), each with its default geometry; "SELFTEST
// OK on N GPUs" when all pass. The caller ends the process either way.
Result<void> run_selftest_mode(const std::string& path, std::span<const int> gpus, KernelKind choice,
                               const GeometryOverrides& overrides,
                               const SelftestOutput& output = console_lines());

// Before mining: fast86 against the embedded vectors on every GPU that may
// mine with it (the choice fast86, or "auto" on compute capability 8.6).
// Under "auto" a failure only takes fast86 away from that GPU.
Result<void> validate_fast86(std::span<const int> gpus, KernelKind choice, const GeometryOverrides& overrides,
                             const SelftestOutput& output = console_lines());

// --vectors FILE, on one GPU before its tuning: every candidate kernel,
// whatever --kernel says; any failure refuses to start.
Result<void> replay_vectors(int device, std::span<const SelftestVector> vectors, const GeometryOverrides& overrides,
                            const SelftestOutput& output = console_lines());
