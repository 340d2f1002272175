// The process-wide request to stop: set by the signal handler and by a GPU
// worker that fails, read by the main loop and the GPU workers.
#pragma once

#include <atomic>

extern std::atomic<bool> SHUTDOWN_REQUESTED;

// How many SIGINT, SIGTERM and SIGHUP have arrived: one more during the shutdown
// ends the drain of the queued blocks at once.
extern std::atomic<unsigned> STOP_SIGNALS;
static_assert(std::atomic<unsigned>::is_always_lock_free, "touched by the signal handler");
