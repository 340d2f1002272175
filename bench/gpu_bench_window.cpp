#include "bench/gpu_bench_window.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include <fmt/format.h>

#include "src/gpu/device.hpp"
#include "src/pow/nonce.hpp"
#include "src/pow/target.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double CANDIDATES_PER_BATCH = 16;

// `bits` - 1 leading zero bits, then a one: a hash meets it when its first
// `bits` bits are zero.
Bytes64 target_with_odds(int bits) {
    Bytes64 target{};
    target[static_cast<std::size_t>((bits - 1) / 8)] = static_cast<std::uint8_t>(0x80u >> ((bits - 1) % 8));
    return target;
}

// Whether a sound kernel finds `found` where the odds give `expected` with
// a chance above one in a million, by the Chernoff bound on either tail of
// the Poisson count: P ≤ e^-λ (eλ/x)^x.
bool plausible(double found, double expected) {
    if (expected <= 0) return found == 0;
    const double log_bound =
        found == 0 ? -expected : -expected + found * (1 + std::log(expected) - std::log(found));
    return log_bound >= std::log(1e-6);
}

void check_batch(const BatchResult& batch, std::uint64_t first, const BenchJob& job, BenchWindow& w) {
    w.found += batch.count;
    if (batch.count > batch.candidates.size()) ++w.over_cap;
    const auto low24 = std::span(job.nonce_low).first<24>();
    for (std::uint64_t counter : batch.candidates) {
        ++w.checked;
        if (counter - first >= batch.launched) ++w.outside;
        if (!hash_meets_target(pow_hash(job.header, mining_nonce(job.nonce_high, low24, counter)), job.target))
            ++w.wrong;
    }
}

}  // namespace

BenchJob bench_job(int bits) {
    BenchJob job;
    for (std::size_t i = 0; i < 32; ++i) {
        job.header[i] = static_cast<std::uint8_t>(0x5a ^ (i * 29));
        job.nonce_high[i] = static_cast<std::uint8_t>(0xc3 + i * 7);
        if (i < 24) job.nonce_low[i] = static_cast<std::uint8_t>(0x71 * (i + 1));
    }
    job.target = target_with_odds(bits);
    job.bits = bits;
    return job;
}

int odds_bits_for(std::uint64_t nonces) {
    const double bits = std::round(std::log2(static_cast<double>(nonces) / CANDIDATES_PER_BATCH));
    return std::clamp(static_cast<int>(bits), 1, 48);
}

double BenchWindow::expected(int bits) const { return static_cast<double>(nonces) * std::ldexp(1.0, -bits); }

Result<BenchWindow> measure_window(GpuContext& gpu, const LaunchGeometry& g, const BenchJob& job,
                                   BenchClockSeconds warm_up, BenchClockSeconds length) {
    if (auto set = gpu_set_job(gpu, job.header, job.nonce_high, job.nonce_low, job.target); !set)
        return fail(set.error());
    const std::uint64_t n = std::uint64_t{g.blocks} * g.threads * g.iters;
    std::uint64_t first[2] = {0, n};  // each buffer's first counter
    if (auto launched = gpu_mine_launch(gpu, first[0], g.blocks, g.threads, g.iters, 0); !launched)
        return fail(launched.error());
    BenchWindow w;
    const Clock::time_point t0 = Clock::now();
    std::optional<Clock::time_point> opened;
    double busy0 = 0, wall0 = 0;
    std::uint32_t u = 0;
    for (;;) {
        if (auto launched = gpu_mine_launch(gpu, first[1 - u], g.blocks, g.threads, g.iters, 1 - u); !launched)
            return fail(launched.error());
        const Result<BatchResult> batch = gpu_mine_collect(gpu, u);
        if (!batch) return fail(batch.error());
        const Clock::time_point now = Clock::now();
        if (!opened) {
            if (now - t0 >= warm_up) {
                opened = now;
                gpu_kernel_times(gpu, busy0, wall0);
            }
        } else {
            w.nonces += batch->launched;
            check_batch(*batch, first[u], job, w);
            if (now - *opened >= length) {
                w.seconds = BenchClockSeconds(now - *opened).count();
                if (double busy, wall; gpu_kernel_times(gpu, busy, wall)) w.kernel_ms = busy - busy0;
                break;
            }
        }
        first[u] = first[1 - u] + n;
        u = 1 - u;
    }
    std::uint32_t power = 0, limit = 0, clock = 0;
    if (gpu_nvml_read(gpu.device(), &power, &limit, &clock) == 0) {
        w.power_mw = power;
        w.clock_mhz = clock;
    }
    if (auto rest = gpu_mine_collect(gpu, 1 - u); !rest) return fail(rest.error());
    return w;
}

std::string window_verdict(const BenchWindow& w, int bits) {
    if (w.outside > 0) return fmt::format("FAIL: {} candidates outside their batch", w.outside);
    if (w.wrong > 0) return fmt::format("FAIL: {} of {} candidates miss the target on the host", w.wrong, w.checked);
    if (w.over_cap > 0) return fmt::format("FAIL: {} batches past the capacity", w.over_cap);
    if (!plausible(static_cast<double>(w.found), w.expected(bits)))
        return fmt::format("FAIL: {} found where {:.0f} were expected", w.found, w.expected(bits));
    return "ok";
}
