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
    clients_->abort_transfers();
}

std::optional<MonoTime> SubmitDrain::deadline() const {
    const MonoTime::rep at = deadline_.load();
    if (at == NONE) return std::nullopt;
    return MonoTime(MonoTime::duration(at));
}
