// One GPU worker per GPU slot: it uploads each new job to its GPU, keeps two
// mining batches alternating on it, re-hashes every candidate on the CPU,
// queues the shares that truly meet the share target, and keeps the slot's
// hash and busy figures. A GPU failure stops the whole miner.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "src/base/bytes.hpp"
#include "src/base/clock.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/gpu_context.hpp"
#include "src/miner/hashrate_meter.hpp"
#include "src/miner/job.hpp"
#include "src/miner/miner_seams.hpp"
#include "src/miner/mining_state.hpp"
#include "src/ui/console.hpp"

// What one worker thread receives; it alone uses the context.
struct GpuWorkerContext {
    GpuContext gpu;
    MiningState mining;
    std::shared_ptr<HashCounters> hash_counters;
    std::shared_ptr<HashCounters> busy_counters;
    std::size_t slot_index = 0;
    std::uint64_t throttle_ms = 0;
    LaunchGeometry geometry{};
    MinerSeams seams{};
    // Set when the worker stops on an error: the miner then ends as a failure.
    std::shared_ptr<std::atomic<bool>> failed = std::make_shared<std::atomic<bool>>(false);
};

// The memory of one job template: how far it had been searched when another
// took its place.
struct TemplateEntry {
    Bytes32 mining_hash;
    NoncePrefix nonce_prefix;
    std::uint64_t saved_counter;
};

inline constexpr std::size_t TEMPLATES_KEPT = 4;
inline constexpr std::uint64_t BUSY_EVERY_COLLECTS = 32;
inline constexpr std::chrono::milliseconds IDLE_POLL{50};

// The body of one "gpu{ordinal}" thread; returns when the worker stops.
void gpu_worker(GpuWorkerContext context);

// The counter at which a job of template (mining_hash, prefix) starts, after
// the front entry, the template being left, saved `counter`: the template's
// saved counter when it is remembered (the entry moves to the front), else
// 0 with a new front entry, the oldest dropped beyond four. `remembered`
// tells which.
std::uint64_t template_counter(std::vector<TemplateEntry>& templates, const Bytes32& mining_hash,
                               const NoncePrefix& prefix, std::uint64_t counter, bool& remembered);
