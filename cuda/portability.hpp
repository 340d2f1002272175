// One source for two compilers: nvcc builds the real kernels; g++ builds the
// same code against the CPU stand-in in sim/.
#pragma once

#if defined(__CUDACC__)

#include <cuda_runtime.h>

#define QTC_CONSTANT(type, name, count) __constant__ type name[count]

// Launches `kernel` on `stream`; the bound is the runtime's business here.
#define QTC_LAUNCH(kernel, launch_bound, grid, block, stream, ...) \
    kernel<<<(grid), (block), 0, (stream)>>>(__VA_ARGS__)

#else  // the CPU stand-in

#include <atomic>

#include "sim/cuda_runtime.hpp"

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __launch_bounds__(...)
#define __restrict__ __restrict

#define threadIdx (::sim::coordinates.thread_idx)
#define blockIdx (::sim::coordinates.block_idx)
#define blockDim (::sim::coordinates.block_dim)
#define gridDim (::sim::coordinates.grid_dim)

#define QTC_CONSTANT(type, name, count) ::sim::DeviceConstant<type, count> name

#define QTC_LAUNCH(kernel, launch_bound, grid, block, stream, ...) \
    ::sim::launch(#kernel, (launch_bound), (grid), (block), (stream), [=] { kernel(__VA_ARGS__); })

inline unsigned atomicAdd(unsigned* address, unsigned value) {
    return std::atomic_ref<unsigned>(*address).fetch_add(value);
}

#endif
