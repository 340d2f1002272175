// The GPU host layer, written once for every kernel module and both stream
// policies (cuda/stream_policies.hpp): per-GPU contexts with two launch
// buffers, mining batches, job upload and the verification entry points. A
// module supplies its kernels and constant symbols through a policy type:
//
//   struct Module {
//       // Launch bound of the mining kernels for the current device.
//       static unsigned mining_bound();
//       static void launch_mine(dim3 grid, dim3 block, cudaStream_t st, const std::uint64_t* mid,
//                               const std::uint8_t* base, std::uint64_t nonce_start, std::uint32_t iters,
//                               std::uint32_t* count, std::uint64_t* cands, std::uint32_t cap);
//       static void launch_check(dim3 grid, dim3 block, cudaStream_t st, const std::uint64_t* mid,
//                                const std::uint8_t* nlo, std::uint32_t n, std::uint32_t* count,
//                                std::uint64_t* cands, std::uint32_t cap, std::uint8_t* out);
//       static void launch_midstate(cudaStream_t st, const std::uint8_t* hdr_nhi, std::uint64_t* mid);
//       static void launch_midstate_mm(cudaStream_t st, const std::uint64_t* mid, const std::uint8_t* base,
//                                      std::uint64_t* mm);
//       static void launch_hash_full(dim3 grid, dim3 block, cudaStream_t st, const std::uint8_t* in,
//                                    std::uint8_t* out, std::uint32_t n);
//       static cudaError_t upload_target(const void* tgt64, cudaStream_t st);      // into c_tgt
//       static cudaError_t upload_start_state(const void* d_mm, cudaStream_t st);  // into c_mm
//   };
//
// Results: 0, the CUDA code of the first failing call, or −1 for the layer's
// own refusals; a failing step writes "step: CUDA text" into the context.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cuda/host_steps.hpp"
#include "cuda/portability.hpp"
#include "cuda/stream_policies.hpp"

namespace qtc_host {

inline constexpr std::uint32_t DEFAULT_CAP = 256;
inline constexpr unsigned VERIFY_THREADS = 128;
// k_hash_full forms its byte offsets 96·gid and 64·gid in signed 32-bit
// arithmetic: beyond this many items the last ones would lie before the
// buffers.
inline constexpr std::uint32_t HASH_FULL_MAX_ITEMS = 0x7fffffffu / 96 + 1;
static_assert(96ull * (HASH_FULL_MAX_ITEMS - 1) <= 0x7fffffffu && 96ull * HASH_FULL_MAX_ITEMS > 0x7fffffffu);

// Everything creation may have made but the streams, released; every result
// ignored.
template <typename Streams>
void release_objects(typename Streams::Ctx* c) {
    cudaFree(c->d_mid);
    cudaFree(c->d_mm);
    cudaFree(c->d_hdr_nhi);
    cudaFree(c->d_base);
    for (int b = 0; b < 2; ++b) {
        cudaFree(c->d_count[b]);
        cudaFree(c->d_cands[b]);
        if (c->h_count[b]) cudaFreeHost(c->h_count[b]);
        if (c->h_cands[b]) cudaFreeHost(c->h_cands[b]);
        if (c->ev_done[b]) cudaEventDestroy(c->ev_done[b]);
        Streams::destroy_timing_events(c, b);
    }
    if (c->d_scratch) cudaFree(c->d_scratch);
    if (c->d_scratch2) cudaFree(c->d_scratch2);
}

template <typename Module, typename Streams = TwoStreams>
struct HostLayer {
    using Ctx = typename Streams::Ctx;

    // ---- contexts and errors ----

    static Ctx* ctx_create(int device, std::uint32_t cap, char* errbuf, int errlen) {
        Ctx* c = new_record(device, cap, errbuf, errlen);
        if (c == nullptr) return nullptr;
        cudaError_t e = cudaSuccess;
        const bool spin = cpu_spin();
        Streams::prepare_device(spin);

        auto failed = [&](const char* format, auto... args) {
            write_text(errbuf, errlen, format, args..., cudaGetErrorString(e));
            release_objects<Streams>(c);
            Streams::destroy_streams(c);
            std::free(c);
            return static_cast<Ctx*>(nullptr);
        };
        if (const char* failure = Streams::create_streams(c, e)) return failed(failure);
        if ((e = cudaMalloc(reinterpret_cast<void**>(&c->d_mid), 96)) != cudaSuccess ||
            (e = cudaMalloc(reinterpret_cast<void**>(&c->d_mm), 96)) != cudaSuccess ||
            (e = cudaMalloc(reinterpret_cast<void**>(&c->d_hdr_nhi), 64)) != cudaSuccess ||
            (e = cudaMalloc(reinterpret_cast<void**>(&c->d_base), 32)) != cudaSuccess)
            return failed("cudaMalloc: %s");
        const std::uint64_t list_bytes = 8ull * c->cap;
        const unsigned done_flags = Streams::done_event_flags(spin);
        for (int b = 0; b < 2; ++b) {
            if ((e = cudaMalloc(reinterpret_cast<void**>(&c->d_count[b]), 4)) != cudaSuccess ||
                (e = cudaMalloc(reinterpret_cast<void**>(&c->d_cands[b]), list_bytes)) != cudaSuccess ||
                (e = cudaHostAlloc(reinterpret_cast<void**>(&c->h_count[b]), 4, 0)) != cudaSuccess ||
                (e = cudaHostAlloc(reinterpret_cast<void**>(&c->h_cands[b]), list_bytes, 0)) != cudaSuccess ||
                (e = cudaEventCreateWithFlags(&c->ev_done[b], done_flags)) != cudaSuccess ||
                (e = Streams::create_timing_events(c, b)) != cudaSuccess)
                return failed("alloc buffer %d: %s", b);
        }
        return c;
    }

    static void ctx_destroy(Ctx* c) {
        if (c == nullptr) return;
        cudaSetDevice(c->device);
        cudaStreamSynchronize(c->stream);
        release_objects<Streams>(c);
        Streams::drain_and_destroy_streams(c);
        std::free(c);
    }

    static const char* ctx_error(const Ctx* c) { return c == nullptr ? "null ctx" : c->err; }

    // ---- mining batches ----

    static int mine_launch(Ctx* c, std::uint64_t nonce_start, std::uint32_t blocks, std::uint32_t threads,
                           std::uint32_t iters, std::uint32_t buf) {
        if (buf > 1) {
            write_text(c->err, sizeof c->err, "qtc_mine_launch: buf %u > 1", buf);
            return -1;
        }
        constexpr const LaunchSteps& steps = Streams::LAUNCH_STEPS;
        cudaError_t e;
        if ((e = cudaSetDevice(c->device)) != cudaSuccess) return fail_step(c, "cudaSetDevice(c->device)", e);
        cudaStream_t st = Streams::launch_stream(c, buf);
        if ((e = cudaMemsetAsync(c->d_count[buf], 0, 4, st)) != cudaSuccess)
            return fail_step(c, steps.clear_count, e);
        if (const int failed = Streams::start_timing(c, buf, st)) return failed;
        if (const int failed = launched(c, [&] {
                Module::launch_mine(dim3(blocks), dim3(threads), st, c->d_mid, c->d_base, nonce_start, iters,
                                    c->d_count[buf], c->d_cands[buf], c->cap);
            }))
            return failed;
        if (const int failed = Streams::stop_timing(c, buf, st)) return failed;
        if ((e = cudaMemcpyAsync(c->h_count[buf], c->d_count[buf], 4, cudaMemcpyDeviceToHost, st)) != cudaSuccess)
            return fail_step(c, steps.copy_count, e);
        if ((e = cudaMemcpyAsync(c->h_cands[buf], c->d_cands[buf], 8ull * c->cap, cudaMemcpyDeviceToHost, st)) !=
            cudaSuccess)
            return fail_step(c, steps.copy_cands, e);
        if ((e = cudaEventRecord(c->ev_done[buf], st)) != cudaSuccess) return fail_step(c, steps.record_done, e);
        c->launched[buf] = static_cast<std::uint64_t>(blocks) * iters * threads;
        c->pending[buf] = 1;
        return 0;
    }

    static int mine_collect(Ctx* c, std::uint32_t buf, std::uint64_t* cands_out, std::uint32_t* count_out,
                            std::uint64_t* launched_out) {
        bool ready = false;
        if (const int result = await_batch(c, buf, ready, count_out, launched_out); result != 0 || !ready)
            return result;
        Streams::add_kernel_time(c, buf);
        hand_over(c, buf, cands_out, count_out, launched_out);
        return 0;
    }

    // Only for a stream policy with kernel timing.
    static void kernel_times(const Ctx* c, double* busy, double* wall) { Streams::kernel_times(c, busy, wall); }

    // ---- job upload and verification ----

    static int set_job(Ctx* c, const std::uint8_t* hdr, const std::uint8_t* nhi, const std::uint8_t* base32,
                       const std::uint8_t* tgt64) {
        cudaError_t e;
        if ((e = cudaSetDevice(c->device)) != cudaSuccess) return fail_step(c, "cudaSetDevice(c->device)", e);
        if (const int failed = Streams::await_batches(c)) return failed;
        return upload_job(c, hdr, nhi, base32, tgt64);
    }

    // ---- the steps the operations above share ----

    // A zero-filled record on its device, cap 0 meaning the default; null
    // with the failure in errbuf when the device cannot be selected.
    static Ctx* new_record(int device, std::uint32_t cap, char* errbuf, int errlen) {
        auto* c = static_cast<Ctx*>(std::calloc(1, sizeof(Ctx)));
        if (c == nullptr) {
            write_text(errbuf, errlen, "cannot allocate a context");
            return nullptr;
        }
        c->device = device;
        c->cap = cap == 0 ? DEFAULT_CAP : cap;
        const cudaError_t e = cudaSetDevice(device);
        if (e != cudaSuccess) {
            write_text(errbuf, errlen, "cudaSetDevice(%d): %s", device, cudaGetErrorString(e));
            std::free(c);
            return nullptr;
        }
        return c;
    }

    // A job's upload once no batch can read the job any more: header and
    // nonce high half, base, target, the two per-job kernels, the start
    // state, and the final wait.
    static int upload_job(Ctx* c, const std::uint8_t* hdr, const std::uint8_t* nhi, const std::uint8_t* base32,
                          const std::uint8_t* tgt64) {
        cudaError_t e;
        std::uint8_t hn[64];
        std::memcpy(hn, hdr, 32);
        std::memcpy(hn + 32, nhi, 32);
        // A copy from pageable host memory is staged before the call returns,
        // so `hn` may live on this stack.
        if ((e = cudaMemcpyAsync(c->d_hdr_nhi, hn, 64, cudaMemcpyHostToDevice, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyAsync(c->d_hdr_nhi, hn, 64, cudaMemcpyHostToDevice, c->stream)", e);
        if ((e = cudaMemcpyAsync(c->d_base, base32, 32, cudaMemcpyHostToDevice, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyAsync(c->d_base, base32, 32, cudaMemcpyHostToDevice, c->stream)", e);
        if ((e = Module::upload_target(tgt64, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyToSymbolAsync(c_tgt, tgt64, 64, 0, cudaMemcpyHostToDevice, c->stream)", e);
        if (const int failed = launched(c, [&] { Module::launch_midstate(c->stream, c->d_hdr_nhi, c->d_mid); }))
            return failed;
        if (const int failed =
                launched(c, [&] { Module::launch_midstate_mm(c->stream, c->d_mid, c->d_base, c->d_mm); }))
            return failed;
        if ((e = Module::upload_start_state(c->d_mm, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyToSymbolAsync(c_mm, c->d_mm, 96, 0, cudaMemcpyDeviceToDevice, c->stream)",
                             e);
        if ((e = cudaStreamSynchronize(c->stream)) != cudaSuccess)
            return fail_step(c, "cudaStreamSynchronize(c->stream)", e);
        return 0;
    }

    // The start of a collect: refuses a buffer index above 1; a buffer with
    // nothing pending gives zero counts at once (ready stays false);
    // otherwise waits for the batch and marks it collected (ready true).
    static int await_batch(Ctx* c, std::uint32_t buf, bool& ready, std::uint32_t* count_out,
                           std::uint64_t* launched_out) {
        if (buf > 1) {
            write_text(c->err, sizeof c->err, "qtc_mine_collect: buf %u > 1", buf);
            return -1;
        }
        cudaError_t e;
        if ((e = cudaSetDevice(c->device)) != cudaSuccess) return fail_step(c, "cudaSetDevice(c->device)", e);
        if (c->pending[buf] == 0) {
            *count_out = 0;
            *launched_out = 0;
            return 0;
        }
        if ((e = cudaEventSynchronize(c->ev_done[buf])) != cudaSuccess)
            return fail_step(c, "cudaEventSynchronize(c->ev_done[buf])", e);
        c->pending[buf] = 0;
        ready = true;
        return 0;
    }

    // A collected batch's candidates and counts, from the pinned copies.
    static void hand_over(const Ctx* c, std::uint32_t buf, std::uint64_t* cands_out, std::uint32_t* count_out,
                          std::uint64_t* launched_out) {
        const std::uint32_t raw = *c->h_count[buf];
        const std::uint32_t k = raw < c->cap ? raw : c->cap;
        if (k > 0) std::memcpy(cands_out, c->h_cands[buf], 8ull * k);
        *count_out = raw;
        *launched_out = c->launched[buf];
    }

    static int mine_check(Ctx* c, const std::uint8_t* nlo32, std::uint8_t* h1_32, std::uint32_t n) {
        cudaError_t e;
        if ((e = cudaSetDevice(c->device)) != cudaSuccess) return fail_step(c, "cudaSetDevice(c->device)", e);
        if (!grow(c, c->d_scratch, c->d_scratch_cap, 32ull * n) || !grow(c, c->d_scratch2, c->d_scratch2_cap, 32ull * n))
            return -1;
        if ((e = cudaMemcpyAsync(c->d_scratch, nlo32, 32ull * n, cudaMemcpyHostToDevice, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyAsync(c->d_scratch, nlo32, 32ull * n, cudaMemcpyHostToDevice, c->stream)", e);
        if ((e = cudaMemsetAsync(c->d_count[0], 0, 4, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemsetAsync(c->d_count[0], 0, 4, c->stream)", e);
        if (const int failed = launched(c, [&] {
            Module::launch_check(dim3((n + VERIFY_THREADS - 1) / VERIFY_THREADS), dim3(VERIFY_THREADS), c->stream,
                                 c->d_mid, static_cast<const std::uint8_t*>(c->d_scratch), n, c->d_count[0],
                                 c->d_cands[0], c->cap, static_cast<std::uint8_t*>(c->d_scratch2));
            }))
            return failed;
        if ((e = cudaMemcpyAsync(h1_32, c->d_scratch2, 32ull * n, cudaMemcpyDeviceToHost, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyAsync(h1_32, c->d_scratch2, 32ull * n, cudaMemcpyDeviceToHost, c->stream)", e);
        if ((e = cudaStreamSynchronize(c->stream)) != cudaSuccess)
            return fail_step(c, "cudaStreamSynchronize(c->stream)", e);
        return 0;
    }

    static int hash_full(Ctx* c, const std::uint8_t* in96, std::uint8_t* out64, std::uint32_t n) {
        if (n > HASH_FULL_MAX_ITEMS) {
            write_text(c->err, sizeof c->err, "qtc_hash_full: n %u > %u (the kernel's 32-bit byte offsets)", n,
                       HASH_FULL_MAX_ITEMS);
            return -1;
        }
        cudaError_t e;
        if ((e = cudaSetDevice(c->device)) != cudaSuccess) return fail_step(c, "cudaSetDevice(c->device)", e);
        if (!grow(c, c->d_scratch, c->d_scratch_cap, 96ull * n) || !grow(c, c->d_scratch2, c->d_scratch2_cap, 64ull * n))
            return -1;
        if ((e = cudaMemcpyAsync(c->d_scratch, in96, 96ull * n, cudaMemcpyHostToDevice, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyAsync(c->d_scratch, in96, 96ull * n, cudaMemcpyHostToDevice, c->stream)", e);
        if (const int failed = launched(c, [&] {
            Module::launch_hash_full(dim3((n + VERIFY_THREADS - 1) / VERIFY_THREADS), dim3(VERIFY_THREADS), c->stream,
                                     static_cast<const std::uint8_t*>(c->d_scratch),
                                     static_cast<std::uint8_t*>(c->d_scratch2), n);
            }))
            return failed;
        if ((e = cudaMemcpyAsync(out64, c->d_scratch2, 64ull * n, cudaMemcpyDeviceToHost, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemcpyAsync(out64, c->d_scratch2, 64ull * n, cudaMemcpyDeviceToHost, c->stream)", e);
        if ((e = cudaStreamSynchronize(c->stream)) != cudaSuccess)
            return fail_step(c, "cudaStreamSynchronize(c->stream)", e);
        return 0;
    }

    // Runs one launch and reports a refused one at "cudaGetLastError()". The
    // last error is cleared first: see clear_last_error.
    template <typename Launch>
    static int launched(Ctx* c, Launch&& launch) {
        clear_last_error();
        launch();
        const cudaError_t e = cudaGetLastError();
        return e == cudaSuccess ? 0 : fail_step(c, "cudaGetLastError()", e);
    }

    // Grow-only scratch: keeps a buffer that is large enough, else replaces
    // it with one of exactly `need` bytes.
    static bool grow(Ctx* c, void*& buffer, std::uint64_t& capacity, std::uint64_t need) {
        if (capacity >= need) return true;
        if (buffer != nullptr) cudaFree(buffer);
        buffer = nullptr;
        capacity = 0;
        const cudaError_t e = cudaMalloc(&buffer, need);
        if (e != cudaSuccess) {
            buffer = nullptr;
            fail_step(c, "cudaMalloc((void**)p, need)", e);
            return false;
        }
        capacity = need;
        return true;
    }
};

}  // namespace qtc_host
