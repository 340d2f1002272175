// The energy module: its five kernels, its constant symbols and the launch
// bound of its mining kernels, for the host layer that drives them.
//
// With nvcc in whole-program mode a constant symbol is only reachable from
// the translation unit that defines it, so the module's host copy includes
// kernels.cu itself; the constant declarations below are for g++ (against
// the stand-in) and for relocatable device code.
#pragma once

#include <cstdint>

#include "cuda/portability.hpp"

// The compute capability 12.0 machine code is launched with 1,024 threads
// per block, so that build takes a 1,024-thread bound (one block fills the
// multiprocessor); every other build takes 256 threads, 3 blocks.
#if !defined(QTCV_E_MINE_THREADS)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 1200
#define QTCV_E_MINE_THREADS 1024
#else
#define QTCV_E_MINE_THREADS 256
#endif
#endif
#if !defined(QTCV_E_MINE_MIN_BLOCKS)
#if QTCV_E_MINE_THREADS > 256
#define QTCV_E_MINE_MIN_BLOCKS 1
#else
#define QTCV_E_MINE_MIN_BLOCKS 3
#endif
#endif

namespace qtcv_e {

inline constexpr unsigned MINE_THREADS = 256;
inline constexpr unsigned MINE_MIN_BLOCKS = 3;
inline constexpr unsigned MINE_THREADS_CC120 = 1024;

// The thread bound of k_mine on a device of compute capability `cc`
// (major · 10 + minor): every 12.x device runs the 12.0 machine code.
constexpr unsigned mine_thread_bound(int cc) { return cc / 10 == 12 ? MINE_THREADS_CC120 : MINE_THREADS; }

// CHECK false: mine nonce counters from c_mm against c_tgt (mid, base and out
// unused). CHECK true: the first 32 hash bytes of `iters` nonce low halves
// at `base`, from the midstate `mid`, into `out` (the list unused).
template <bool CHECK>
__global__ void __launch_bounds__(QTCV_E_MINE_THREADS, QTCV_E_MINE_MIN_BLOCKS)
    k_mine(const std::uint64_t* mid, const std::uint8_t* base, std::uint64_t nonce_start, std::uint32_t iters,
           std::uint32_t* cand_count, std::uint64_t* cands, std::uint32_t cap, std::uint8_t* out);

// The midstate: the canonical state after absorbing hdr_nhi (header ‖ nonce
// bytes 0-31). One thread.
__global__ void k_midstate(const std::uint8_t* hdr_nhi, std::uint64_t* mid_out);

// The start state of the third permutation without the counter words:
// canonical M_E(mid + base words 0-5). One thread.
__global__ void k_midstate_mm(const std::uint64_t* mid, const std::uint8_t* base, std::uint64_t* mm_out);

// The whole hash of n inputs of 96 bytes into n × 64 bytes.
__global__ void k_hash_full(const std::uint8_t* in, std::uint8_t* out, std::int32_t n);

#if !defined(__CUDACC__)
extern template void k_mine<false>(const std::uint64_t*, const std::uint8_t*, std::uint64_t, std::uint32_t,
                                   std::uint32_t*, std::uint64_t*, std::uint32_t, std::uint8_t*);
extern template void k_mine<true>(const std::uint64_t*, const std::uint8_t*, std::uint64_t, std::uint32_t,
                                  std::uint32_t*, std::uint64_t*, std::uint32_t, std::uint8_t*);
#endif

#if !defined(__CUDACC__) || defined(__CUDACC_RDC__)
namespace gl32 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
namespace gl32v7 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
namespace gl32v10 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
namespace qp6 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
extern QTC_CONSTANT(std::uint64_t, QP_RC_INT, 22);
extern QTC_CONSTANT(std::uint64_t, QP_RC_EXT_INIT, 48);
extern QTC_CONSTANT(std::uint64_t, QP_RC_EXT_TERM, 48);
extern QTC_CONSTANT(std::uint64_t, QP_DIAG, 12);
extern QTC_CONSTANT(std::uint8_t, c_tgt, 64);
extern QTC_CONSTANT(std::uint64_t, c_mm, 12);
#endif

}  // namespace qtcv_e
