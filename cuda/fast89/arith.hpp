// The fast89 module's field arithmetic: the shared number forms with the
// ε-multiply product reduction that takes its carry as the borrow into the
// subtraction, ε read from gl32v10::Wk; S-boxes by x², x⁴, x⁶, x⁷.
#pragma once

#include "cuda/fast89/kernels.hpp"
#include "cuda/kernels/number_forms.hpp"

namespace qtcv {
inline namespace fast89 {

#define QTC_REDUCE_PRODUCT(w) reduce_eps_carry_fused(w, gl32v10::Wk[0])
#define QTC_SBOX_X6_CHAIN 1
#include "cuda/kernels/module_arith.cuh"
#undef QTC_SBOX_X6_CHAIN
#undef QTC_REDUCE_PRODUCT

}  // namespace fast89
}  // namespace qtcv
