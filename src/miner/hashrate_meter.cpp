#include "src/miner/hashrate_meter.hpp"

#include <chrono>

std::optional<double> hashrate_estimate(HashrateMeter& meter, MonoTime now) {
    std::uint64_t sum = 0;
    for (const auto& counter : *meter.gpu_hashes) sum += counter.load(std::memory_order_relaxed);
    double elapsed;
    std::uint64_t old;
    {
        std::lock_guard lock(meter.lock);
        elapsed = now > meter.base_at ? std::chrono::duration<double>(now - meter.base_at).count() : 0.0;
        old = meter.base_sum;
        if (sum > old && elapsed >= BASE_MOVE_S) {
            meter.base_at = now;
            meter.base_sum = sum;
        }
    }
    if (sum > old && elapsed >= MIN_MEASURE_S) return static_cast<double>(sum - old) / elapsed;
    return meter.hint;
}
