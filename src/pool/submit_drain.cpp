#include "src/pool/submit_drain.hpp"

void SubmitDrain::begin(MonoTime closed_at) {
    MonoTime::rep unset = NONE;
    deadline_.compare_exchange_strong(unset, (closed_at + LENGTH).time_since_epoch().count());
}

void SubmitDrain::end_now(MonoTime now) {
    const MonoTime::rep at = now.time_since_epoch().count();
    MonoTime::rep current = deadline_.load();
    while (at < current && !deadline_.compare_exchange_weak(current, at)) {
    }
    if (clients_->user) clients_->user->agent.abort_transfers();
    if (clients_->dev) clients_->dev->agent.abort_transfers();
}

std::optional<MonoTime> SubmitDrain::deadline() const {
    const MonoTime::rep at = deadline_.load();
    if (at == NONE) return std::nullopt;
    return MonoTime(MonoTime::duration(at));
}

void SubmitDrain::worker_ended() {
    {
        std::lock_guard lock(lock_);
        ++ended_;
    }
    ended_changed_.notify_all();
}

bool SubmitDrain::wait_for_workers(std::size_t workers, std::chrono::milliseconds slice) {
    std::unique_lock lock(lock_);
    return ended_changed_.wait_for(lock, slice, [&] { return ended_ >= workers; });
}
