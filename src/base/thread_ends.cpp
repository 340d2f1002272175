#include "src/base/thread_ends.hpp"

void ThreadEnds::mark_one() {
    {
        std::lock_guard lock(lock_);
        ++ended_;
    }
    changed_.notify_all();
}

bool ThreadEnds::wait_for(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, limit, [&] { return ended_ >= count; });
}
