// The field arithmetic of one kernel module, included inside the module's
// namespace after these are set:
//
//   QTC_REDUCE_PRODUCT(w)   the module's reduction of a 128-bit product (one
//                           of qtc_forms' reductions and the knob word it reads)
//   QTC_SBOX_X6_CHAIN       1: x⁷ as x², x⁴, x⁶, x⁶·x; 0 or unset: x², x³,
//                           x⁴, x³·x⁴
//
// No include guard: every module that a translation unit sees includes it
// once in its own namespace.

using namespace ::qtc_forms;
using ::qtc_forms::reduce;

__device__ __forceinline__ Fe reduce(Wide w) { return QTC_REDUCE_PRODUCT(w); }

__device__ __forceinline__ Fe mul(Fe a, Fe b) { return reduce(mul_wide(a, b)); }
__device__ __forceinline__ Fe sqr(Fe a) { return reduce(sqr_wide(a)); }
__device__ __forceinline__ Fe mul_add(Fe a, Fe b, Fe s) { return reduce(mul_add_wide(a, b, s)); }
__device__ __forceinline__ Fe mul_add(Fe a, Fe b, Lazy s) { return reduce(mul_add_wide(a, b, s)); }
__device__ __forceinline__ Fe mul_add_short_cross(Fe a, Fe d, Lazy s) {
    return reduce(mul_add_wide_short_cross(a, d, s));
}

// x⁷ + c, the constant inside the last multiplication.
__device__ __forceinline__ Fe sbox7_plus(Fe x, Fe c) {
#if defined(QTC_SBOX_X6_CHAIN) && QTC_SBOX_X6_CHAIN
    const Fe x2 = sqr(x);
    const Fe x4 = sqr(x2);
    const Fe x6 = mul(x4, x2);
    return mul_add(x6, x, c);
#else
    const Fe x2 = sqr(x);
    const Fe x3 = mul(x2, x);
    const Fe x4 = sqr(x2);
    return mul_add(x3, x4, c);
#endif
}

__device__ __forceinline__ Fe sbox7(Fe x) {
#if defined(QTC_SBOX_X6_CHAIN) && QTC_SBOX_X6_CHAIN
    const Fe x2 = sqr(x);
    const Fe x4 = sqr(x2);
    const Fe x6 = mul(x4, x2);
    return mul(x6, x);
#else
    const Fe x2 = sqr(x);
    const Fe x3 = mul(x2, x);
    const Fe x4 = sqr(x2);
    return mul(x3, x4);
#endif
}
