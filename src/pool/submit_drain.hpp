// The shutdown's drain of the blocks still queued: one deadline that every
// submit worker obeys, 10 s after the queue is closed, which a second stop
// request brings forward to at once; and the count of the workers that
// have ended, which the shutdown waits on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "src/base/clock.hpp"
#include "src/pool/pool_client.hpp"

class SubmitDrain {
public:
    static constexpr std::chrono::seconds LENGTH{10};

    // `clients`: the submit pair, whose transfers an early end cuts off.
    explicit SubmitDrain(std::shared_ptr<const SessionClients> clients) : clients_(std::move(clients)) {}

    // The deadline becomes `closed_at` + 10 s; only the first call counts.
    void begin(MonoTime closed_at);
    // Brings the deadline forward to `now` (begun or not) and cuts off every
    // submission in flight.
    void end_now(MonoTime now);
    // None until the drain begins.
    std::optional<MonoTime> deadline() const;

    // Each submit worker says so as it ends.
    void worker_ended();
    // True once `workers` have ended; waits at most `slice` for it.
    bool wait_for_workers(std::size_t workers, std::chrono::milliseconds slice);

private:
    static constexpr MonoTime::rep NONE = MonoTime::duration::max().count();

    std::shared_ptr<const SessionClients> clients_;
    std::atomic<MonoTime::rep> deadline_{NONE};
    std::mutex lock_;
    std::condition_variable ended_changed_;
    std::size_t ended_ = 0;
};

// Ends the drain when its scope ends: a submit worker's last act.
class DrainWorkerScope {
public:
    explicit DrainWorkerScope(SubmitDrain& drain) : drain_(drain) {}
    ~DrainWorkerScope() { drain_.worker_ended(); }
    DrainWorkerScope(const DrainWorkerScope&) = delete;
    DrainWorkerScope& operator=(const DrainWorkerScope&) = delete;

private:
    SubmitDrain& drain_;
};
