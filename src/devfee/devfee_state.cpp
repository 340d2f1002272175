#include "src/devfee/devfee_state.hpp"

#include <algorithm>

namespace {

constexpr std::uint64_t MIN_WAIT_MS = 50;

Duration elapsed_since(MonoTime then, MonoTime now) { return now > then ? now - then : Duration::zero(); }

}  // namespace

DevFeeState::DevFeeState(std::optional<std::string> address, std::uint64_t period_s, MonoTime created_at)
    : dev_address(std::move(address)),
      period(duration_from_s(period_s)),
      window(dev_address ? duration_from_s(period_s / 100) : Duration::zero()),
      last_tick(created_at) {}

bool devfee_tick(DevFeeState& state, MonoTime now) {
    std::lock_guard lock(state.lock);
    const Duration elapsed = elapsed_since(state.last_tick, now);
    state.last_tick = now;
    (state.dev_mode ? state.dev_acc : state.user_acc) += elapsed;
    if (!state.active()) {
        state.dev_mode = false;
        return false;
    }
    const Duration user_part = state.user_part();
    for (;;) {
        if (state.dev_mode && state.dev_acc >= state.window) {
            state.dev_acc -= state.window;
            state.dev_mode = false;
        } else if (!state.dev_mode && state.user_acc >= user_part) {
            state.user_acc -= user_part;
            state.dev_mode = true;
        } else {
            return state.dev_mode;
        }
    }
}

std::uint64_t devfee_wait_ms(DevFeeState& state, MonoTime now, std::uint64_t wait_ms) {
    if (!state.active()) return wait_ms;
    Duration remaining;
    {
        std::lock_guard lock(state.lock);
        const Duration elapsed = elapsed_since(state.last_tick, now);
        remaining = state.dev_mode ? state.window - (state.dev_acc + elapsed)
                                   : state.user_part() - (state.user_acc + elapsed);
    }
    const auto ms = remaining > Duration::zero()
                        ? static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(remaining).count())
                        : 0;
    return std::min(std::max(ms, MIN_WAIT_MS), wait_ms);
}
