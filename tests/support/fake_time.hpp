// A clock and sleeper for tests: sleeping advances the clock at once.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include "src/base/clock.hpp"

class FakeTime {
public:
    explicit FakeTime(MonoTime start = MonoTime{} + std::chrono::hours(1000)) : now_(start) {}

    MonoTime now() const {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void advance(std::chrono::steady_clock::duration d) {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            now_ += d;
            slept_ += d;
            hook = on_sleep_;
        }
        if (hook) hook();
    }
    // Total time slept so far.
    std::chrono::steady_clock::duration slept() const {
        std::lock_guard lock(mutex_);
        return slept_;
    }
    // Called after every sleep, e.g. to set a stop flag at some point.
    void on_sleep(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        on_sleep_ = std::move(hook);
    }

    MonoClock clock() {
        return [this] { return now(); };
    }
    Sleeper sleeper() {
        return [this](std::chrono::steady_clock::duration d) { advance(d); };
    }

private:
    mutable std::mutex mutex_;
    MonoTime now_;
    std::chrono::steady_clock::duration slept_{};
    std::function<void()> on_sleep_;
};
