// The hash rate announced to the pool: measured from the per-GPU hash
// counters over a base of at least half a second, else the hint.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "src/base/clock.hpp"

using HashCounters = std::vector<std::atomic<std::uint64_t>>;

struct HashrateMeter {
    // A hint below 1.0 (the default 0 included) is no hint.
    HashrateMeter(double hashrate_hint, std::shared_ptr<HashCounters> counters, MonoTime created_at)
        : hint(hashrate_hint >= 1.0 ? std::optional<double>(hashrate_hint) : std::nullopt),
          gpu_hashes(std::move(counters)),
          base_at(created_at) {}

    const std::optional<double> hint;
    const std::shared_ptr<HashCounters> gpu_hashes;

    std::mutex lock;
    MonoTime base_at;
    std::uint64_t base_sum = 0;
};

inline constexpr double MIN_MEASURE_S = 0.5;
inline constexpr double BASE_MOVE_S = 30.0;

// Hashes per second since the base (moved forward after 30 s of growth),
// or the hint while there is no growth or less than 0.5 s of it.
std::optional<double> hashrate_estimate(HashrateMeter& meter, MonoTime now);
