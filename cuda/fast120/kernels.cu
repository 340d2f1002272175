// The fast120 kernels: ε-multiply product reduction with the carry fused
// into the subtraction, the internal-round sum in index order and reduced,
// round loops kept rolled. g++ builds this file as C++ through
// ovik_fast120_sim.
#include "cuda/fast120/kernels.hpp"
#include "cuda/kernels/module_constant.hpp"

namespace qtcv {
inline namespace fast120 {
#include "cuda/kernels/constants.cuh"
}  // namespace fast120
}  // namespace qtcv

// After the constants: under nvcc they must be defined before any use.
#include "cuda/fast120/arith.hpp"

namespace qtcv {
inline namespace fast120 {

#define QTC_SHAPE_MINE_BOUNDS 256, 4
#define QTC_SHAPE_ROUND_LOOP QTC_ROLLED
#define QTC_SHAPE_SUM_TREE 0
#define QTC_SHAPE_FOLDED 0
#define QTC_SHAPE_EARLY_DECISION 0
#include "cuda/kernels/kernel_shape.cuh"

}  // namespace fast120
}  // namespace qtcv
