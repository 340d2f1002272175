// What every mining thread shares: the current job, the counters, the
// submission queue and the stop flag.
#pragma once

#include <atomic>
#include <memory>

#include "src/miner/job_slot.hpp"
#include "src/miner/miner_stats.hpp"
#include "src/miner/submit_queue.hpp"

struct MiningState {
    std::shared_ptr<JobSlot> slot;
    std::shared_ptr<MinerStats> stats;
    std::shared_ptr<SubmitQueue> queue;
    std::shared_ptr<std::atomic<bool>> stop_flag;
};
