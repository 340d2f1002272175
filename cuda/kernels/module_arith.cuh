// The field arithmetic of one kernel module, included inside the module's
// namespace after QTC_REDUCE_PRODUCT(w) names the module's reduction of a
// 128-bit product (one of qtc_forms' reductions and the knob word it reads).
// No include guard: every module that a translation unit sees includes it
// once in its own namespace.

using namespace ::qtc_forms;
using ::qtc_forms::reduce;

__device__ __forceinline__ Fe reduce(Wide w) { return QTC_REDUCE_PRODUCT(w); }

__device__ __forceinline__ Fe mul(Fe a, Fe b) { return reduce(mul_wide(a, b)); }
__device__ __forceinline__ Fe sqr(Fe a) { return reduce(sqr_wide(a)); }
__device__ __forceinline__ Fe mul_add(Fe a, Fe b, Fe s) { return reduce(mul_add_wide(a, b, s)); }

__device__ __forceinline__ Fe sbox7(Fe x) {
    const Fe x2 = sqr(x);
    const Fe x3 = mul(x2, x);
    const Fe x4 = sqr(x2);
    return mul(x3, x4);
}
