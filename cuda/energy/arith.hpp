// The energy module's field arithmetic: the shared number forms with the
// subtractive product reduction, which reads no knob word.
#pragma once

#include "cuda/energy/kernels.hpp"
#include "cuda/kernels/number_forms.hpp"

namespace qtcv_e {

#define QTC_REDUCE_PRODUCT(w) reduce_subtractive(w)
#include "cuda/kernels/module_arith.cuh"
#undef QTC_REDUCE_PRODUCT

}  // namespace qtcv_e
