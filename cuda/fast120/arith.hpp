// The fast120 module's field arithmetic: the shared number forms with the
// ε-multiply product reduction that takes its carry as the borrow into the
// subtraction, ε read from gl32v10::Wk; S-boxes by x², x³, x⁴, x⁷.
#pragma once

#include "cuda/fast120/kernels.hpp"
#include "cuda/kernels/number_forms.hpp"

namespace qtcv {
inline namespace fast120 {

#define QTC_REDUCE_PRODUCT(w) reduce_eps_carry_fused(w, gl32v10::Wk[0])
#include "cuda/kernels/module_arith.cuh"
#undef QTC_REDUCE_PRODUCT

}  // namespace fast120
}  // namespace qtcv
