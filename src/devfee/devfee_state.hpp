// Dev-fee time sharing: 1 % of the mining time goes to the dev-fee session,
// measured in charged wall-clock time, with every remainder carried over.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "src/base/clock.hpp"
#include "src/base/durations.hpp"

using Duration = std::chrono::steady_clock::duration;

inline constexpr double DEV_FEE_PERCENT = 1.0;

// The longest period the accounting counts exactly: the largest multiple of
// 100 s that the clock's nanoseconds hold (9 223 372 000 s, about 292 years).
// Within it nothing overflows: the accumulators never exceed the time
// charged since creation, and the window and the user part are parts of the
// period.
inline constexpr std::uint64_t MAX_DEV_FEE_PERIOD_S = largest_exact_count<std::chrono::seconds>() / 100 * 100;

struct DevFeeState {
    // period_s must be a positive multiple of 100, at most
    // MAX_DEV_FEE_PERIOD_S, when a dev address is given (the start-up checks
    // it); the window is period / 100 in whole seconds.
    DevFeeState(std::optional<std::string> dev_address, std::uint64_t period_s, MonoTime created_at);

    // The dev fee switched off: no address, a period of 1 s, no window.
    static DevFeeState off(MonoTime created_at) { return DevFeeState(std::nullopt, 1, created_at); }

    bool active() const { return dev_address.has_value() && window != Duration::zero(); }
    Duration user_part() const { return window > period ? Duration::zero() : period - window; }

    const std::optional<std::string> dev_address;
    const Duration period;
    const Duration window;

    std::mutex lock;
    MonoTime last_tick;
    Duration user_acc{};
    Duration dev_acc{};
    bool dev_mode = false;
};

// Charges the time since the last tick to the active session, then switches
// as often as the accumulated time pays for. Returns the active session
// (true = dev fee).
bool devfee_tick(DevFeeState& state, MonoTime now);

// The long-poll time for the next request: the time left before the next
// switch, at least 50 ms and at most wait_ms.
std::uint64_t devfee_wait_ms(DevFeeState& state, MonoTime now, std::uint64_t wait_ms);
