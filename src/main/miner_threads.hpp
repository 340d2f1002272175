// The objects the miner's threads share, and their start: the job poller
// "getwork", the submit workers "submit0"…, one GPU worker "gpu{ordinal}"
// per slot. What the main thread keeps for the main loop and the shutdown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "src/base/clock.hpp"
#include "src/base/error.hpp"
#include "src/base/thread_ends.hpp"
#include "src/cli/cli.hpp"
#include "src/devfee/devfee_state.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/gpu_context.hpp"
#include "src/miner/hashrate_meter.hpp"
#include "src/miner/miner_seams.hpp"
#include "src/miner/mining_state.hpp"
#include "src/pool/pool_client.hpp"
#include "src/pool/submit_drain.hpp"
#include "src/ui/console.hpp"

// One entry of the device list: its context and its tuned geometry.
struct GpuSlot {
    GpuContext gpu;
    LaunchGeometry geometry;
};

// Created in this order; each shared by reference count.
struct MinerShared {
    std::shared_ptr<HashCounters> busy_counters;
    MiningState mining;  // its slot, stats and stop flag first, its queue after the hash counters
    std::shared_ptr<HashCounters> hash_counters;
    std::shared_ptr<HashrateMeter> meter;
    std::shared_ptr<DevFeeState> devfee;
    std::shared_ptr<const SessionClients> getwork;
    std::shared_ptr<const SessionClients> submit;
    std::shared_ptr<SubmitDrain> drain;
    // Set by a GPU worker that stops on an error.
    std::shared_ptr<std::atomic<bool>> gpu_failed = std::make_shared<std::atomic<bool>>(false);
};

struct MinerThreads {
    MinerShared shared;
    std::vector<int> devices;  // the CUDA ordinal of each slot
    std::thread poller;
    std::vector<std::thread> submit_workers;  // in start order
    std::vector<std::thread> gpu_workers;     // in slot order
    // Each thread marks its end in its group's count, so that the shutdown
    // can wait for the group with a time limit.
    std::shared_ptr<ThreadEnds> poller_end = std::make_shared<ThreadEnds>();
    std::shared_ptr<ThreadEnds> submit_ends = std::make_shared<ThreadEnds>();
    std::shared_ptr<ThreadEnds> gpu_ends = std::make_shared<ThreadEnds>();
    // Why a thread could not be created: those already started then stop
    // through the ordinary shutdown, which the main loop begins at once.
    std::optional<Error> start_failure;
};

// Creates the shared objects, prints the submission line and starts every
// thread, each with its own references. A thread that cannot be created
// ends the start with the system's message in `start_failure`. A thread
// that runs out of memory stops the miner as a GPU failure does, through
// the ordinary shutdown.
MinerThreads start_miner_threads(const Cli& cli, std::vector<GpuSlot> slots,
                                         std::shared_ptr<DevFeeState> devfee,
                                         std::shared_ptr<const SessionClients> getwork,
                                         std::shared_ptr<const SessionClients> submit,
                                         const MinerSeams& seams = MinerSeams{});
