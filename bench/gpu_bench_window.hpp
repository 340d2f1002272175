// One measuring window of the GPU bench: back-to-back mining batches of one
// geometry on an open context, every stored candidate re-hashed on the
// host, and the verdict on what came back. A rate alone would let a fast
// wrong kernel pass, so the job's target is one that a batch meets about 16
// times, and the number found must match the target's odds.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "src/base/bytes.hpp"
#include "src/base/error.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/gpu_context.hpp"

using BenchClockSeconds = std::chrono::duration<double>;

// A fixed header and nonce halves, and a target met with odds 2^-bits.
struct BenchJob {
    Bytes32 header{}, nonce_high{}, nonce_low{};
    Bytes64 target{};
    int bits = 1;
};

BenchJob bench_job(int bits);

// The odds (in bits) that give a batch of `nonces` about 16 candidates.
int odds_bits_for(std::uint64_t nonces);

struct BenchWindow {
    std::uint64_t nonces = 0;
    double seconds = 0;
    std::optional<double> kernel_ms;  // from the host layer's CUDA events; none for hb89
    std::uint64_t found = 0;          // what the kernel counted
    std::uint64_t checked = 0;        // the candidates it stored, each re-hashed
    std::uint64_t wrong = 0;          // stored, but the host hash misses the target
    std::uint64_t outside = 0;        // stored, but outside its batch's counters
    std::uint64_t over_cap = 0;       // batches that found more than the capacity
    std::optional<std::uint32_t> power_mw, clock_mhz;

    double expected(int bits) const;
};

// The window opens at the first collect after `warm_up` and closes at the
// first collect after `length`; the batch still in flight is collected and
// dropped. NVML is read at the close, while the GPU is still busy.
Result<BenchWindow> measure_window(GpuContext& gpu, const LaunchGeometry& g, const BenchJob& job,
                                   BenchClockSeconds warm_up, BenchClockSeconds length);

// "ok", or "FAIL: " and what the window got wrong.
std::string window_verdict(const BenchWindow& w, int bits);
