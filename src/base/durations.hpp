// Whole seconds and milliseconds from the command line or from a pool, as
// durations of the monotonic clock. The clock counts nanoseconds in a signed
// 64-bit number, so it spans about 292 years: a longer count becomes the
// longest duration the clock holds, never a wrapped short or negative one.
#pragma once

#include <chrono>
#include <cstdint>

using ClockDuration = std::chrono::steady_clock::duration;

// The largest count of `Unit` that converts to a clock duration exactly.
template <typename Unit>
constexpr std::uint64_t largest_exact_count() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<Unit>(ClockDuration::max()).count());
}

template <typename Unit>
constexpr ClockDuration saturating_duration(std::uint64_t count) {
    if (count > largest_exact_count<Unit>()) return ClockDuration::max();
    return std::chrono::duration_cast<ClockDuration>(Unit(static_cast<typename Unit::rep>(count)));
}

constexpr ClockDuration duration_from_s(std::uint64_t seconds) {
    return saturating_duration<std::chrono::seconds>(seconds);
}

constexpr ClockDuration duration_from_ms(std::uint64_t milliseconds) {
    return saturating_duration<std::chrono::milliseconds>(milliseconds);
}

// a + b for durations that are not negative, held at the longest duration.
constexpr ClockDuration saturating_add(ClockDuration a, ClockDuration b) {
    return a > ClockDuration::max() - b ? ClockDuration::max() : a + b;
}
