// The fast86 kernels: ε-multiply product reduction with the carry fused
// into the subtraction, constants folded into the last multiplications, x⁷
// by x², x³, x⁴, the internal-round sum by halves at 96 bits, round loops
// left to the code generator. g++ builds this file as C++ through
// ovik_fast86_sim.
#include "cuda/fast86/kernels.hpp"
#include "cuda/kernels/module_constant.hpp"

namespace qtcv {
inline namespace fast86 {
#define QTC_MODULE_FOLDED
#include "cuda/kernels/constants.cuh"
#undef QTC_MODULE_FOLDED
}  // namespace fast86
}  // namespace qtcv

// After the constants: under nvcc they must be defined before any use.
#include "cuda/fast86/arith.hpp"

namespace qtcv {
inline namespace fast86 {

#define QTC_SHAPE_MINE_BOUNDS 256, 3
// Round loops: the code generator unrolls them or not.
#define QTC_SHAPE_ROUND_LOOP
#define QTC_SHAPE_SUM_TREE 0
#define QTC_SHAPE_FOLDED 1
#define QTC_SHAPE_EARLY_DECISION 0
#include "cuda/kernels/kernel_shape.cuh"

}  // namespace fast86
}  // namespace qtcv
