// The process-wide request to stop: set by the signal handler and by a GPU
// worker that fails, read by the main loop and the GPU workers.
#pragma once

#include <atomic>

extern std::atomic<bool> SHUTDOWN_REQUESTED;

// How many SIGINT, SIGTERM and SIGHUP have arrived: one more during the shutdown
// ends the drain of the queued blocks at once.
extern std::atomic<unsigned> STOP_SIGNALS;
static_assert(std::atomic<unsigned>::is_always_lock_free, "touched by the signal handler");

// True until the miner's threads are about to start: a second stop signal
// then ends the process at once (a tune, a self-test or a GPU set-up may
// take minutes, and nothing found is at stake yet).
extern std::atomic<bool> STARTING_UP;
static_assert(std::atomic<bool>::is_always_lock_free, "read by the signal handler");
