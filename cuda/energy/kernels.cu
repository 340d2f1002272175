// The energy kernels: subtractive product reduction, the internal-round sum
// in index order and reduced, round loops kept rolled, for a small
// instruction footprint. g++ builds this file as C++ through ovik_energy_sim.
#include "cuda/energy/kernels.hpp"
#include "cuda/kernels/module_constant.hpp"

namespace qtcv_e {
#include "cuda/kernels/constants.cuh"
}  // namespace qtcv_e

// After the constants: under nvcc they must be defined before any use.
#include "cuda/energy/arith.hpp"

namespace qtcv_e {

#define QTC_SHAPE_MINE_BOUNDS QTCV_E_MINE_THREADS, QTCV_E_MINE_MIN_BLOCKS
#define QTC_SHAPE_ROUND_LOOP QTC_ROLLED
#define QTC_SHAPE_SUM_TREE 0
#include "cuda/kernels/kernel_shape.cuh"

}  // namespace qtcv_e
