// The monotonic clock, injectable so that time rules can be tested without
// waiting.
#pragma once

#include <chrono>
#include <functional>

using MonoTime = std::chrono::steady_clock::time_point;
using MonoClock = std::function<MonoTime()>;

inline MonoTime steady_now() { return std::chrono::steady_clock::now(); }
