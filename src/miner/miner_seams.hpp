// What the miner's threads read besides their objects: the process's own
// unless a test brings its own.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "src/base/clock.hpp"
#include "src/miner/random_source.hpp"
#include "src/miner/shutdown.hpp"
#include "src/ui/console.hpp"

struct MinerSeams {
    std::atomic<bool>* shutdown_requested = &SHUTDOWN_REQUESTED;
    const std::atomic<unsigned>* stop_signals = &STOP_SIGNALS;
    RandomSource random = os_random;
    MonoClock clock = steady_now;
    Sleeper sleep = steady_sleep;
    LineOutput lines = console_lines();
    // Called before each miner thread is created, with its name; it may
    // throw std::system_error as a refused thread creation does.
    std::function<void(const std::string& thread_name)> before_thread_start;
};
