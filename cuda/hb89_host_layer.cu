// The hb89 module's host layer: the layer written once in host_layer.hpp,
// on its one-stream policy, over the hb89 kernels. nvcc needs the
// kernels and their constant symbols in this translation unit, so it
// includes their source; the stand-in build links them from ovik_hb89_sim.
#if defined(__CUDACC__)
#include "cuda/hb89/kernels.cu"
#else
#include "cuda/hb89/kernels.hpp"
#endif

#include "cuda/hb89_host_layer.hpp"

namespace qtc_hb89 {

#include "cuda/kernels/host_module.cuh"

QTC_DEFINE_SINGLE_STREAM_HOST_LAYER(KernelModule, static_cast<int>(MINE_THREADS))

}  // namespace qtc_hb89
