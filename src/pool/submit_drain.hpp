// The shutdown's drain of the blocks still queued: one deadline that every
// submit worker obeys, 10 s after the queue is closed, which a second stop
// request brings forward to at once.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
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

private:
    static constexpr MonoTime::rep NONE = MonoTime::duration::max().count();

    std::shared_ptr<const SessionClients> clients_;
    std::atomic<MonoTime::rep> deadline_{NONE};
};
