// The main thread once the miner's threads run: it watches the stop flags
// every 100 ms, prints a [stats] line every period, and on a stop shuts the
// miner down in a fixed order and prints the summary.
#pragma once

#include <cstdint>
#include <functional>
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

// Runs until a stop, then shuts down; returns the process status, 0.
int run_main_loop(MinerThreads& miner, std::uint64_t stats_every, const MainLoopSeams& seams = MainLoopSeams{});

// One GPU's item of the [stats] line: with an NVML reading of more than 0 W
// "GPU{d} {rate} [{W} W {rate/W} MH/s/W {clock} MHz{busy}]", else
// "GPU{d} {rate}" and " [busy …%]" when the busy figure is not 0.
std::string stats_gpu_item(int device, double mhs, std::uint64_t busy_per_mille, int nvml_rc, std::uint32_t power_mw,
                           std::uint32_t clock_mhz);
