// The compact module's host layer: the layer written once in host_layer.hpp,
// over the compact kernels. nvcc needs the kernels and their constant
// symbols in this translation unit, so it includes their source; the
// stand-in build links them from ovik_compact_sim.
#if defined(__CUDACC__)
#include "cuda/compact/kernels.cu"
#else
#include "cuda/compact/kernels.hpp"
#endif

#include "cuda/compact_host_layer.hpp"

namespace qtcv_c {

#include "cuda/kernels/host_module.cuh"

QTC_DEFINE_HOST_LAYER(KernelModule, static_cast<int>(MINE_THREADS))

}  // namespace qtcv_c
