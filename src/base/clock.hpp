// The monotonic clock and the sleeper, injectable so that time rules can be
// tested without waiting.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

using MonoTime = std::chrono::steady_clock::time_point;
using MonoClock = std::function<MonoTime()>;
using Sleeper = std::function<void(std::chrono::steady_clock::duration)>;

inline MonoTime steady_now() { return std::chrono::steady_clock::now(); }

// sleep_for resumes after a signal interrupts it.
inline void steady_sleep(std::chrono::steady_clock::duration d) { std::this_thread::sleep_for(d); }
