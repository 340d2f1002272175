// The fast89 kernels: ε-multiply product reduction with the carry fused
// into the subtraction, constants folded into the last multiplications, x⁷
// by x², x⁴, x⁶, the internal-round sum by halves at 96 bits, round loops
// left to the code generator, and the mining kernel deciding on hash bytes
// 0-7 early. g++ builds this file as C++ through ovik_fast89_sim.
#include "cuda/fast89/kernels.hpp"
#include "cuda/kernels/module_constant.hpp"

namespace qtcv {
inline namespace fast89 {
#define QTC_MODULE_FOLDED
#include "cuda/kernels/constants.cuh"
#undef QTC_MODULE_FOLDED
}  // namespace fast89
}  // namespace qtcv

// After the constants: under nvcc they must be defined before any use.
#include "cuda/fast89/arith.hpp"

namespace qtcv {
inline namespace fast89 {

#define QTC_SHAPE_MINE_BOUNDS 128, 7
// Round loops: the code generator unrolls them or not.
#define QTC_SHAPE_ROUND_LOOP
#define QTC_SHAPE_SUM_TREE 0
#define QTC_SHAPE_FOLDED 1
#define QTC_SHAPE_EARLY_DECISION 1
#include "cuda/kernels/kernel_shape.cuh"

}  // namespace fast89
}  // namespace qtcv
