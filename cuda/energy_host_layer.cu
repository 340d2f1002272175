// The energy module's host layer: the layer written once in host_layer.hpp,
// over the energy kernels. nvcc needs the kernels and their constant symbols
// in this translation unit, so it includes their source; the stand-in build
// links them from ovik_energy_sim.
#if defined(__CUDACC__)
#include "cuda/energy/kernels.cu"
#else
#include "cuda/energy/kernels.hpp"
#endif

#include "cuda/energy_host_layer.hpp"

namespace qtcv_e {

#include "cuda/kernels/host_module.cuh"

QTC_DEFINE_HOST_LAYER(KernelModule, static_cast<int>(MINE_THREADS))

}  // namespace qtcv_e
