// The main thread once the miner's threads run: it watches the stop flags
// every 100 ms, prints a [stats] line every period, and on a stop shuts the
// miner down in a fixed order and prints the summary.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "src/main/miner_threads.hpp"

// gpu_nvml_read's form: power, limit (mW) and SM clock (MHz); 0 on success.
using NvmlReader = std::function<int(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw,
                                     std::uint32_t* clock_mhz)>;

// The miner's seams, and the NVML reading.
struct MainLoopSeams : MinerSeams {
    NvmlReader nvml_read;  // empty: gpu_nvml_read
};

inline constexpr std::chrono::milliseconds MAIN_LOOP_TICK{100};
// The least time between two lines on GPU workers waiting for room in the
// block queue.
inline constexpr std::chrono::seconds BLOCK_WAITS_LINE_EVERY{10};
// How long the shutdown gives the job poller, its long-poll cut off, to end.
inline constexpr std::chrono::milliseconds POLLER_END_WAIT{1000};
// How long the shutdown waits for the submit workers past the drain's
// deadline, and again once their transfers are cut off (at that point or at
// a second stop request), before it leaves them running and reports the
// blocks they hold.
inline constexpr std::chrono::milliseconds SUBMIT_END_WAIT{1000};

// The process status of a run that a GPU worker's error ended, after the
// same shutdown and summary (also of one whose thread ran out of memory or
// could not be started): a failure, so that a service manager set to
// restart on failure restarts the miner.
inline constexpr int GPU_FAILURE_STATUS = 1;

// How the shutdown ended: the process status, and whether threads that it
// stopped waiting for still run (a GPU worker held in a driver call past a
// second stop request, a submit worker or a poller that did not end): the process must then
// end without running its static destructors under them.
struct ShutdownEnd {
    int status = 0;
    bool threads_left_running = false;
    // The miner's threads could not all be started: why (the status is 1).
    std::optional<Error> start_failure;
};

// Runs until a stop, then shuts down; at once when not every thread started.
ShutdownEnd run_main_loop(MinerThreads& miner, std::uint64_t stats_every, const MainLoopSeams& seams = MainLoopSeams{});

// One GPU's item of the [stats] line: with an NVML reading of more than 0 W
// "GPU{d} {rate} [{W} W {rate/W} MH/s/W {clock} MHz{busy}]", else
// "GPU{d} {rate}" and " [busy …%]" when the busy figure is not 0.
std::string stats_gpu_item(int device, double mhs, std::uint64_t busy_per_mille, int nvml_rc, std::uint32_t power_mw,
                           std::uint32_t clock_mhz);
