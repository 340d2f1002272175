// The tuning of one GPU slot at start-up: from the command line alone, from
// a cached record, or measured on the GPU (the fastest kernel variant, then
// the fastest launch geometry for it).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "src/base/clock.hpp"
#include "src/base/error.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/kernel_kind.hpp"
#include "src/tune/tune_cache.hpp"
#include "src/ui/console.hpp"

using BenchSeconds = std::chrono::duration<double>;

// The rate in MH/s of back-to-back batches of one geometry on a context of
// its own, against a job no hash can meet, over `window` after `warm_up`.
Result<double> bench_geometry(int ordinal, KernelKind kind, const LaunchGeometry& geometry, BenchSeconds warm_up,
                              BenchSeconds window, const MonoClock& clock = steady_now);

using BenchFunction =
    std::function<Result<double>(int ordinal, KernelKind kind, const LaunchGeometry& geometry, BenchSeconds warm_up,
                                 BenchSeconds window)>;

struct AutotuneSeams {
    BenchFunction bench = [](int ordinal, KernelKind kind, const LaunchGeometry& g, BenchSeconds w, BenchSeconds m) {
        return bench_geometry(ordinal, kind, g, w, m);
    };
    std::function<std::int64_t()> unix_seconds;  // empty: the wall clock
    LineOutput lines = console_lines();
};

inline constexpr BenchSeconds KERNEL_WARM_UP{0.8}, KERNEL_WINDOW{2.5};
inline constexpr BenchSeconds GEOMETRY_WARM_UP{0.6}, GEOMETRY_WINDOW{1.8};
inline constexpr double REPEATABLE_MARGIN = 1.02;
inline constexpr double GEOMETRY_MARGIN = 1.003;

// A slot's tuning: the record, as cached and shown, and the variant it runs.
struct TuningDecision {
    Tuning record;
    KernelKind kind;
};

// The kernel phase over the candidates (or the chosen kind), then, without
// a manual geometry, the geometry phase for the best variant.
Result<TuningDecision> autotune_gpu(int ordinal, const std::string& label, int sm_count, KernelKind kind,
                                     const std::optional<LaunchGeometry>& manual,
                                     const AutotuneSeams& seams = AutotuneSeams{});

// The geometries the geometry phase tries for `best`, in order: its plan's.
std::vector<LaunchGeometry> geometry_candidates(KernelKind best, int ordinal, std::uint32_t sms);

struct TuningInputs {
    int ordinal = 0;
    std::string label;
    int sm_count = 0;
    KernelKind choice = KernelKind::none;  // none: auto
    LaunchGeometry base{};
    bool manual_geometry = false;
    bool retune = false;
    bool no_autotune = false;
    std::string key;
};

// The slot's record: --no-autotune, a usable cached record, or a
// measurement (stored in the cache under auto without geometry options). A
// cached record the tuner could not have written (a variant that is not a
// variant's name, a batch far beyond the tuner's, a rate beyond any card's)
// is broken: measured again, and replaced where a measurement is stored.
Result<TuningDecision> decide_tuning(const TuningInputs& in, TuneCache& cache,
                                     const AutotuneSeams& seams = AutotuneSeams{});
