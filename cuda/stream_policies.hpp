// How a host-layer context uses its streams, as a policy of
// qtc_host::HostLayer: the context record, the streams and events it
// creates, the step texts of a batch launch, kernel timing, and the waits
// before a job upload.
//
//   TwoStreams (qtc_ctx): a stream per launch buffer, each mining kernel
//   timed between two CUDA events, blocking-sync device and completion
//   events unless VEZEZIRUZ_CPU_SPIN is present.
//
//   OneStream (qtc_ctx_single_stream), the older record the hb89 module
//   keeps: both launch buffers on one stream (their batches run one after
//   the other on the GPU; the overlap is between the GPU and the host's
//   collecting), no kernel timing, no device flag, blocking-sync completion
//   events whatever the environment, and its own step texts.
#pragma once

#include <cstdint>

#include "cuda/host_steps.hpp"

struct qtc_ctx {
    int device;
    cudaStream_t stream;  // streams[0]
    cudaStream_t streams[2];
    std::uint64_t* d_mid;
    std::uint64_t* d_mm;
    std::uint8_t* d_hdr_nhi;
    std::uint8_t* d_base;
    std::uint32_t* d_count[2];
    std::uint64_t* d_cands[2];
    std::uint64_t launched[2];
    std::uint32_t* h_count[2];
    std::uint64_t* h_cands[2];
    cudaEvent_t ev_done[2];
    cudaEvent_t ev_k0[2];
    cudaEvent_t ev_k1[2];
    double busy_ms;
    std::int64_t t_start;
    std::int32_t pending[2];
    std::uint32_t cap;
    void* d_scratch;
    std::uint64_t d_scratch_cap;
    void* d_scratch2;
    std::uint64_t d_scratch2_cap;
    char err[256];
};

struct qtc_ctx_single_stream {
    int device;
    cudaStream_t stream;
    std::uint64_t* d_mid;
    std::uint64_t* d_mm;
    std::uint8_t* d_hdr_nhi;
    std::uint8_t* d_base;
    std::uint32_t* d_count[2];
    std::uint64_t* d_cands[2];
    std::uint32_t* h_count[2];
    std::uint64_t* h_cands[2];
    std::uint64_t launched[2];
    cudaEvent_t ev_done[2];
    std::int32_t pending[2];
    std::uint32_t cap;
    void* d_scratch;
    std::uint64_t d_scratch_cap;
    void* d_scratch2;
    std::uint64_t d_scratch2_cap;
    char err[256];
};

namespace qtc_host {

// The steps of a batch launch that name its stream, as the failure texts
// give them.
struct LaunchSteps {
    const char* clear_count;
    const char* copy_count;
    const char* copy_cands;
    const char* record_done;
};

struct TwoStreams {
    using Ctx = qtc_ctx;

    static constexpr LaunchSteps LAUNCH_STEPS{
        "cudaMemsetAsync(c->d_count[buf], 0, 4, st)",
        "cudaMemcpyAsync(c->h_count[buf], c->d_count[buf], 4, cudaMemcpyDeviceToHost, st)",
        "cudaMemcpyAsync(c->h_cands[buf], c->d_cands[buf], 8ull * c->cap, cudaMemcpyDeviceToHost, st)",
        "cudaEventRecord(c->ev_done[buf], st)",
    };

    // A device that refuses the flag is used all the same.
    static void prepare_device(bool spin) {
        if (!spin && cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync) != cudaSuccess) cudaGetLastError();
    }

    // The creation failure's format ("...: %s"), or null.
    static const char* create_streams(Ctx* c, cudaError_t& e) {
        if ((e = cudaStreamCreateWithFlags(&c->stream, cudaStreamNonBlocking)) != cudaSuccess)
            return "cudaStreamCreate: %s";
        c->streams[0] = c->stream;
        if ((e = cudaStreamCreateWithFlags(&c->streams[1], cudaStreamNonBlocking)) != cudaSuccess)
            return "cudaStreamCreate(1): %s";
        return nullptr;
    }

    static unsigned done_event_flags(bool spin) {
        return spin ? cudaEventDisableTiming : cudaEventBlockingSync | cudaEventDisableTiming;
    }

    static cudaError_t create_timing_events(Ctx* c, int b) {
        const cudaError_t e = cudaEventCreate(&c->ev_k0[b]);
        return e != cudaSuccess ? e : cudaEventCreate(&c->ev_k1[b]);
    }

    static void destroy_timing_events(Ctx* c, int b) {
        if (c->ev_k0[b]) cudaEventDestroy(c->ev_k0[b]);
        if (c->ev_k1[b]) cudaEventDestroy(c->ev_k1[b]);
    }

    // What creation made, after a failure.
    static void destroy_streams(Ctx* c) {
        if (c->streams[1]) cudaStreamDestroy(c->streams[1]);
        if (c->stream) cudaStreamDestroy(c->stream);
    }

    // A context's end, once its first stream has drained.
    static void drain_and_destroy_streams(Ctx* c) {
        cudaStreamSynchronize(c->streams[1]);
        cudaStreamDestroy(c->streams[1]);
        cudaStreamDestroy(c->stream);
    }

    static cudaStream_t launch_stream(const Ctx* c, std::uint32_t buf) { return c->streams[buf]; }

    static int start_timing(Ctx* c, std::uint32_t buf, cudaStream_t st) {
        if (c->busy_ms == 0.0 && c->pending[0] == 0 && c->pending[1] == 0) c->t_start = steady_ns();
        const cudaError_t e = cudaEventRecord(c->ev_k0[buf], st);
        return e == cudaSuccess ? 0 : fail_step(c, "cudaEventRecord(c->ev_k0[buf], st)", e);
    }

    static int stop_timing(Ctx* c, std::uint32_t buf, cudaStream_t st) {
        const cudaError_t e = cudaEventRecord(c->ev_k1[buf], st);
        return e == cudaSuccess ? 0 : fail_step(c, "cudaEventRecord(c->ev_k1[buf], st)", e);
    }

    static void add_kernel_time(Ctx* c, std::uint32_t buf) {
        float ms = 0.0f;
        if (cudaEventElapsedTime(&ms, c->ev_k0[buf], c->ev_k1[buf]) == cudaSuccess)
            c->busy_ms += static_cast<double>(ms);
        else
            cudaGetLastError();
    }

    static void kernel_times(const Ctx* c, double* busy, double* wall) {
        *busy = c->busy_ms;
        *wall = c->busy_ms > 0 ? static_cast<double>(steady_ns() - c->t_start) / 1'000'000.0 : 0.0;
    }

    // Before a job upload: no batch may still read the job.
    static int await_batches(Ctx* c) {
        cudaError_t e;
        if ((e = cudaStreamSynchronize(c->streams[0])) != cudaSuccess)
            return fail_step(c, "cudaStreamSynchronize(c->streams[0])", e);
        if ((e = cudaStreamSynchronize(c->streams[1])) != cudaSuccess)
            return fail_step(c, "cudaStreamSynchronize(c->streams[1])", e);
        return 0;
    }
};

struct OneStream {
    using Ctx = qtc_ctx_single_stream;

    static constexpr LaunchSteps LAUNCH_STEPS{
        "cudaMemsetAsync(c->d_count[buf], 0, 4, c->stream)",
        "cudaMemcpyAsync(c->h_count[buf], c->d_count[buf], 4, cudaMemcpyDeviceToHost, c->stream)",
        "cudaMemcpyAsync(c->h_cands[buf], c->d_cands[buf], 8ull * c->cap, cudaMemcpyDeviceToHost, c->stream)",
        "cudaEventRecord(c->ev_done[buf], c->stream)",
    };

    static void prepare_device(bool) {}

    static const char* create_streams(Ctx* c, cudaError_t& e) {
        if ((e = cudaStreamCreateWithFlags(&c->stream, cudaStreamNonBlocking)) != cudaSuccess)
            return "cudaStreamCreate: %s";
        return nullptr;
    }

    static unsigned done_event_flags(bool) { return cudaEventBlockingSync | cudaEventDisableTiming; }
    static cudaError_t create_timing_events(Ctx*, int) { return cudaSuccess; }
    static void destroy_timing_events(Ctx*, int) {}

    static void destroy_streams(Ctx* c) {
        if (c->stream) cudaStreamDestroy(c->stream);
    }
    static void drain_and_destroy_streams(Ctx* c) { cudaStreamDestroy(c->stream); }

    static cudaStream_t launch_stream(const Ctx* c, std::uint32_t) { return c->stream; }
    static int start_timing(Ctx*, std::uint32_t, cudaStream_t) { return 0; }
    static int stop_timing(Ctx*, std::uint32_t, cudaStream_t) { return 0; }
    static void add_kernel_time(Ctx*, std::uint32_t) {}

    // The one stream already orders the uploads behind every pending batch.
    static int await_batches(Ctx*) { return 0; }
};

}  // namespace qtc_host
