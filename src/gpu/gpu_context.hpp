// The miner's handle on one host-layer context, and every operation on it,
// dispatched to the host-layer copy of the context's kernel variant. Host
// results and error texts become error values with fixed wording; nothing
// here prints or keeps state between calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/base/bytes.hpp"
#include "src/base/error.hpp"
#include "src/gpu/kernel_kind.hpp"

struct QtcModule;

// One owner at a time; it may be moved to another thread, never shared.
// Dropping it destroys the context through its own variant's copy.
class GpuContext {
public:
    GpuContext(GpuContext&& other) noexcept;
    GpuContext& operator=(GpuContext&& other) noexcept;
    GpuContext(const GpuContext&) = delete;
    GpuContext& operator=(const GpuContext&) = delete;
    ~GpuContext();

    void* ctx() const { return ctx_; }
    int device() const { return device_; }
    // The most counters one collect returns: the requested capacity, or 256
    // when 0 was requested (the host layer's rule).
    std::uint32_t cap() const { return cap_; }
    KernelKind kind() const { return kind_; }
    // The host-layer copy of the context's variant, found once at the open.
    const QtcModule& module() const { return *module_; }

private:
    friend Result<GpuContext> gpu_open(int device, std::uint32_t capacity, KernelKind kind);
    GpuContext(void* ctx, int device, std::uint32_t cap, KernelKind kind, const QtcModule& module)
        : ctx_(ctx), device_(device), cap_(cap), kind_(kind), module_(&module) {}
    void release() noexcept;

    void* ctx_;
    int device_;
    std::uint32_t cap_;
    KernelKind kind_;
    const QtcModule* module_;
};

struct BatchResult {
    std::vector<std::uint64_t> candidates;  // min(count, cap) counters, in the host layer's order
    std::uint64_t launched = 0;             // nonces the batch covered; 0 for a buffer without a batch
    std::uint32_t count = 0;                // what the kernel counted, past cap included
};

// Opens a context after the variant's compute-capability rule
// (check_capability in the context's words). `kind` is one of the variants.
Result<GpuContext> gpu_open(int device, std::uint32_t capacity, KernelKind kind);

// Queues a batch of blocks × threads × iters counters from `first` on
// buffer `buf`; a zero part, or more threads than gpu_max_threads, is
// refused before the GPU is touched.
Result<void> gpu_mine_launch(GpuContext& gpu, std::uint64_t first, std::uint32_t blocks, std::uint32_t threads,
                             std::uint32_t iters, std::uint32_t buf);

// Waits for buffer `buf`'s batch and returns what it found.
Result<BatchResult> gpu_mine_collect(GpuContext& gpu, std::uint32_t buf);

Result<void> gpu_set_job(GpuContext& gpu, const Bytes32& header, const Bytes32& nonce_high, const Bytes32& nonce_base,
                         const Bytes64& target);

// The first 32 hash bytes of each 32-byte nonce low half, on the last job's
// header and nonce high half. The length must be a multiple of 32.
Result<std::vector<std::uint8_t>> gpu_mine_check(GpuContext& gpu, std::span<const std::uint8_t> nonce_lo);

// The 64-byte hash of each 96-byte input (header ‖ nonce). The length must
// be a multiple of 96.
Result<std::vector<std::uint8_t>> gpu_hash_full(GpuContext& gpu, std::span<const std::uint8_t> inputs);

// Kernel time and wall time since the context's first launch (ms), both
// buffers added; false for a variant without kernel timing (hb89).
bool gpu_kernel_times(const GpuContext& gpu, double& busy_ms, double& wall_ms);

// 0 is success; anything else "GPU {device} [{kind}]: {function}: {context error}".
Result<void> gpu_check_rc(const GpuContext& gpu, int rc, std::string_view function);

std::string gpu_last_error(const GpuContext& gpu);
