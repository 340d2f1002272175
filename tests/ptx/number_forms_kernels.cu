// The test kernels of the number forms: each thread applies every form to
// the operands of its case, read from memory, so that nvcc folds nothing
// and the interpreter runs the forms' own PTX (number_forms_test.cpp).
#include "tests/ptx/number_forms_applied.hpp"

namespace forms_test {

__global__ void k_number_forms(const Operands* __restrict__ in, Results* __restrict__ out, std::uint32_t n) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = apply(in[i]);
}

__global__ void k_sum_by_halves(const Twelve* __restrict__ in, Lazy* __restrict__ out, std::uint32_t n) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = qtc_forms::sum_by_halves(in[i].x);
}

}  // namespace forms_test
