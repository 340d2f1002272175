// The compact kernels: ε-multiply product reduction with the carry added
// separately, the internal-round sum in index order and reduced, round loops
// kept rolled. g++ builds this file as C++ through ovik_compact_sim.
#include "cuda/compact/kernels.hpp"
#include "cuda/kernels/module_constant.hpp"

namespace qtcv_c {
#include "cuda/kernels/constants.cuh"
}  // namespace qtcv_c

// After the constants: under nvcc they must be defined before any use.
#include "cuda/compact/arith.hpp"

namespace qtcv_c {

#define QTC_SHAPE_MINE_BOUNDS 256, 3
#define QTC_SHAPE_ROUND_LOOP QTC_ROLLED
#define QTC_SHAPE_SUM_TREE 0
#include "cuda/kernels/kernel_shape.cuh"

}  // namespace qtcv_c
