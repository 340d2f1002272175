// The fast86 module's host layer: the layer written once in host_layer.hpp,
// over the fast86 kernels. nvcc needs the kernels and their constant symbols
// in this translation unit, so it includes their source; the stand-in build
// links them from ovik_fast86_sim.
#if defined(__CUDACC__)
#include "cuda/fast86/kernels.cu"
#else
#include "cuda/fast86/kernels.hpp"
#endif

#include "cuda/fast86_host_layer.hpp"

namespace qtcv {
inline namespace fast86 {

#include "cuda/kernels/host_module.cuh"

QTC_DEFINE_HOST_LAYER(KernelModule, static_cast<int>(MINE_THREADS))

}  // namespace fast86
}  // namespace qtcv
