// A kernel module's policy for qtc_host::HostLayer: its five kernels and
// its two job symbols. Included inside the module's namespace, after the
// module's kernels.hpp (stand-in) or kernels.cu (nvcc), in the module's
// host copy; the module provides mine_thread_bound(cc). No include guard.

namespace {

// The launch bound of the mining kernels on the calling thread's device
// (the stand-in enforces it; the real runtime knows it from the module).
[[maybe_unused]] unsigned mining_bound() {
    int device = 0, cc = 0;
    cudaGetDevice(&device);
    qtc_compute_capability(device, &cc);
    return mine_thread_bound(cc);
}

struct KernelModule {
    static void launch_mine(dim3 grid, dim3 block, cudaStream_t st, const std::uint64_t* mid, const std::uint8_t* base,
                            std::uint64_t nonce_start, std::uint32_t iters, std::uint32_t* count,
                            std::uint64_t* cands, std::uint32_t cap) {
        std::uint8_t* no_output = nullptr;
        QTC_LAUNCH(k_mine<false>, mining_bound(), grid, block, st, mid, base, nonce_start, iters, count, cands, cap,
                   no_output);
    }
    static void launch_check(dim3 grid, dim3 block, cudaStream_t st, const std::uint64_t* mid,
                             const std::uint8_t* nlo, std::uint32_t n, std::uint32_t* count, std::uint64_t* cands,
                             std::uint32_t cap, std::uint8_t* out) {
        const std::uint64_t start = 0;
        QTC_LAUNCH(k_mine<true>, mining_bound(), grid, block, st, mid, nlo, start, n, count, cands, cap, out);
    }
    static void launch_midstate(cudaStream_t st, const std::uint8_t* hdr_nhi, std::uint64_t* mid) {
        QTC_LAUNCH(k_midstate, 0, dim3(1), dim3(1), st, hdr_nhi, mid);
    }
    static void launch_midstate_mm(cudaStream_t st, const std::uint64_t* mid, const std::uint8_t* base,
                                   std::uint64_t* mm) {
        QTC_LAUNCH(k_midstate_mm, 0, dim3(1), dim3(1), st, mid, base, mm);
    }
    static void launch_hash_full(dim3 grid, dim3 block, cudaStream_t st, const std::uint8_t* in, std::uint8_t* out,
                                 std::uint32_t n) {
        const auto items = static_cast<std::int32_t>(n);
        QTC_LAUNCH(k_hash_full, 0, grid, block, st, in, out, items);
    }
    static cudaError_t upload_target(const void* tgt64, cudaStream_t st) {
        return cudaMemcpyToSymbolAsync(c_tgt, tgt64, 64, 0, cudaMemcpyHostToDevice, st);
    }
    static cudaError_t upload_start_state(const void* d_mm, cudaStream_t st) {
        return cudaMemcpyToSymbolAsync(c_mm, d_mm, 96, 0, cudaMemcpyDeviceToDevice, st);
    }
};

}  // namespace
