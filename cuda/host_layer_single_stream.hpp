// The older host record that the hb89 module keeps: one stream for both
// launch buffers (their batches run one after the other on the GPU; the
// overlap is between the GPU and the host's collecting), no kernel timing,
// blocking-sync completion events whatever the environment.
#pragma once

#include "cuda/host_layer.hpp"

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

inline void release_objects(qtc_ctx_single_stream* c) {
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
    }
    if (c->d_scratch) cudaFree(c->d_scratch);
    if (c->d_scratch2) cudaFree(c->d_scratch2);
}

template <typename Module>
struct HostLayerSingleStream : SharedSteps<Module, qtc_ctx_single_stream> {
    using Ctx = qtc_ctx_single_stream;
    using Shared = SharedSteps<Module, Ctx>;
    using Shared::hash_full;
    using Shared::mine_check;

    static Ctx* ctx_create(int device, std::uint32_t cap, char* errbuf, int errlen) {
        Ctx* c = Shared::new_record(device, cap, errbuf, errlen);
        if (c == nullptr) return nullptr;
        cudaError_t e = cudaSuccess;
        auto failed = [&](const char* format, auto... args) {
            write_text(errbuf, errlen, format, args..., cudaGetErrorString(e));
            release_objects(c);
            if (c->stream) cudaStreamDestroy(c->stream);
            std::free(c);
            return static_cast<Ctx*>(nullptr);
        };
        if ((e = cudaStreamCreateWithFlags(&c->stream, cudaStreamNonBlocking)) != cudaSuccess)
            return failed("cudaStreamCreate: %s");
        if ((e = cudaMalloc(reinterpret_cast<void**>(&c->d_mid), 96)) != cudaSuccess ||
            (e = cudaMalloc(reinterpret_cast<void**>(&c->d_mm), 96)) != cudaSuccess ||
            (e = cudaMalloc(reinterpret_cast<void**>(&c->d_hdr_nhi), 64)) != cudaSuccess ||
            (e = cudaMalloc(reinterpret_cast<void**>(&c->d_base), 32)) != cudaSuccess)
            return failed("cudaMalloc: %s");
        const std::uint64_t list_bytes = 8ull * c->cap;
        for (int b = 0; b < 2; ++b) {
            if ((e = cudaMalloc(reinterpret_cast<void**>(&c->d_count[b]), 4)) != cudaSuccess ||
                (e = cudaMalloc(reinterpret_cast<void**>(&c->d_cands[b]), list_bytes)) != cudaSuccess ||
                (e = cudaHostAlloc(reinterpret_cast<void**>(&c->h_count[b]), 4, 0)) != cudaSuccess ||
                (e = cudaHostAlloc(reinterpret_cast<void**>(&c->h_cands[b]), list_bytes, 0)) != cudaSuccess ||
                (e = cudaEventCreateWithFlags(&c->ev_done[b], cudaEventBlockingSync | cudaEventDisableTiming)) !=
                    cudaSuccess)
                return failed("alloc buffer %d: %s", b);
        }
        return c;
    }

    static void ctx_destroy(Ctx* c) {
        if (c == nullptr) return;
        cudaSetDevice(c->device);
        cudaStreamSynchronize(c->stream);
        release_objects(c);
        cudaStreamDestroy(c->stream);
        std::free(c);
    }

    static const char* ctx_error(const Ctx* c) { return c == nullptr ? "null ctx" : c->err; }

    static int mine_launch(Ctx* c, std::uint64_t nonce_start, std::uint32_t blocks, std::uint32_t threads,
                           std::uint32_t iters, std::uint32_t buf) {
        if (buf > 1) {
            write_text(c->err, sizeof c->err, "qtc_mine_launch: buf %u > 1", buf);
            return -1;
        }
        cudaError_t e;
        if ((e = cudaSetDevice(c->device)) != cudaSuccess) return fail_step(c, "cudaSetDevice(c->device)", e);
        if ((e = cudaMemsetAsync(c->d_count[buf], 0, 4, c->stream)) != cudaSuccess)
            return fail_step(c, "cudaMemsetAsync(c->d_count[buf], 0, 4, c->stream)", e);
        if (const int failed = Shared::launched(c, [&] {
                Module::launch_mine(dim3(blocks), dim3(threads), c->stream, c->d_mid, c->d_base, nonce_start, iters,
                                    c->d_count[buf], c->d_cands[buf], c->cap);
            }))
            return failed;
        if ((e = cudaMemcpyAsync(c->h_count[buf], c->d_count[buf], 4, cudaMemcpyDeviceToHost, c->stream)) !=
            cudaSuccess)
            return fail_step(c,
                             "cudaMemcpyAsync(c->h_count[buf], c->d_count[buf], 4, cudaMemcpyDeviceToHost, c->stream)",
                             e);
        if ((e = cudaMemcpyAsync(c->h_cands[buf], c->d_cands[buf], 8ull * c->cap, cudaMemcpyDeviceToHost,
                                 c->stream)) != cudaSuccess)
            return fail_step(c,
                             "cudaMemcpyAsync(c->h_cands[buf], c->d_cands[buf], 8ull * c->cap, "
                             "cudaMemcpyDeviceToHost, c->stream)",
                             e);
        if ((e = cudaEventRecord(c->ev_done[buf], c->stream)) != cudaSuccess)
            return fail_step(c, "cudaEventRecord(c->ev_done[buf], c->stream)", e);
        c->launched[buf] = static_cast<std::uint64_t>(blocks) * iters * threads;
        c->pending[buf] = 1;
        return 0;
    }

    static int mine_collect(Ctx* c, std::uint32_t buf, std::uint64_t* cands_out, std::uint32_t* count_out,
                            std::uint64_t* launched_out) {
        bool ready = false;
        if (const int result = Shared::await_batch(c, buf, ready, count_out, launched_out); result != 0 || !ready)
            return result;
        Shared::hand_over(c, buf, cands_out, count_out, launched_out);
        return 0;
    }

    // The one stream already orders the uploads behind every pending batch.
    static int set_job(Ctx* c, const std::uint8_t* hdr, const std::uint8_t* nhi, const std::uint8_t* base32,
                       const std::uint8_t* tgt64) {
        cudaError_t e;
        if ((e = cudaSetDevice(c->device)) != cudaSuccess) return fail_step(c, "cudaSetDevice(c->device)", e);
        return Shared::upload_job(c, hdr, nhi, base32, tgt64);
    }
};

}  // namespace qtc_host
