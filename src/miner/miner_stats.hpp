// Process-wide counters, atomic and read without a lock.
#pragma once

#include <atomic>
#include <cstdint>

using Counter = std::atomic<std::uint64_t>;

// The six counters kept per session (user, dev fee).
struct SessionCounters {
    Counter accepted{0};
    Counter blocks_found{0};
    Counter late_accepted{0};
    Counter rejected{0};
    Counter stale_rejected{0};
    Counter duplicates{0};
};

struct MinerStats {
    SessionCounters user;
    SessionCounters dev;
    Counter dedup_dropped{0};
    Counter net_errors{0};
    Counter abandoned{0};
    Counter queue_full{0};
    Counter gpu_mismatch{0};
    Counter jobs_received{0};
    Counter jobs_changed{0};

    SessionCounters& session(bool is_dev) { return is_dev ? dev : user; }
};

inline void count(Counter& counter, std::uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }
