// The energy module: its five kernels, its constant symbols and the launch
// bound of its mining kernels, for the host layer that drives them.
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

#define QTC_SHAPE_MINE_BOUNDS QTCV_E_MINE_THREADS, QTCV_E_MINE_MIN_BLOCKS
#include "cuda/kernels/declarations.cuh"
#undef QTC_SHAPE_MINE_BOUNDS

}  // namespace qtcv_e
