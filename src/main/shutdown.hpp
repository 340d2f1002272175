// The process-wide request to stop: set by the signal handler and by a GPU
// worker that fails, read by the main loop and the GPU workers.
#pragma once

#include <atomic>

extern std::atomic<bool> SHUTDOWN_REQUESTED;
