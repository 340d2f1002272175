// The hb89 module's field arithmetic, in the global namespace: the shared
// number forms with the ε-multiply product reduction that adds its carry
// separately, ε read from gl32v7::Wk.
#pragma once

#include "cuda/hb89/kernels.hpp"
#include "cuda/kernels/number_forms.hpp"

#define QTC_REDUCE_PRODUCT(w) reduce_eps_carry_added(w, gl32v7::Wk[0])
#include "cuda/kernels/module_arith.cuh"
#undef QTC_REDUCE_PRODUCT
