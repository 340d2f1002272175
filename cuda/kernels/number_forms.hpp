// Goldilocks arithmetic of the kernel modules on 32-bit words, p = 2^64 − ε
// with ε = 2^32 − 1: the number forms every module shares and the product
// reductions the modules choose from. Device code uses inline PTX for the
// carry chains and multiply-adds; every other compiler (g++ against the
// stand-in, and nvcc's host pass) gets the same steps in plain C++.
#pragma once

#include <cstdint>

#include "cuda/portability.hpp"

#if defined(__CUDA_ARCH__)
#define QTC_FORMS_UNROLLED _Pragma("unroll")
#else
#define QTC_FORMS_UNROLLED
#endif

namespace qtc_forms {

inline constexpr std::uint32_t EPSILON = 0xffffffffu;

// A 64-bit word standing for its residue; not necessarily canonical.
struct Fe {
    std::uint32_t lo, hi;
};

// l0 + l1·2^32 + l2·2^64, exact: sums are kept in this form until a product
// needs them. l2 counts carries and stays small.
struct Lazy {
    std::uint32_t l0, l1, l2;
};

// A 128-bit product p0 + p1·2^32 + p2·2^64 + p3·2^96.
struct Wide {
    std::uint32_t p0, p1, p2, p3;
};

__device__ __forceinline__ Fe fe(std::uint64_t v) {
    return {static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)};
}

__device__ __forceinline__ std::uint64_t u64(Fe a) { return static_cast<std::uint64_t>(a.hi) << 32 | a.lo; }

__device__ __forceinline__ Lazy lazy(Fe a) { return {a.lo, a.hi, 0}; }

__device__ __forceinline__ Lazy add(Lazy a, Fe b) {
#if defined(__CUDA_ARCH__)
    Lazy r;
    asm("add.cc.u32 %0, %3, %6;\n\t"
        "addc.cc.u32 %1, %4, %7;\n\t"
        "addc.u32 %2, %5, 0;"
        : "=&r"(r.l0), "=&r"(r.l1), "=r"(r.l2)
        : "r"(a.l0), "r"(a.l1), "r"(a.l2), "r"(b.lo), "r"(b.hi));
    return r;
#else
    const std::uint64_t s = (static_cast<std::uint64_t>(a.l1) << 32 | a.l0) + u64(b);
    const std::uint32_t carry = s < u64(b) ? 1u : 0u;
    return {static_cast<std::uint32_t>(s), static_cast<std::uint32_t>(s >> 32), a.l2 + carry};
#endif
}

__device__ __forceinline__ Lazy add(Lazy a, Lazy b) {
#if defined(__CUDA_ARCH__)
    Lazy r;
    asm("add.cc.u32 %0, %3, %6;\n\t"
        "addc.cc.u32 %1, %4, %7;\n\t"
        "addc.u32 %2, %5, %8;"
        : "=&r"(r.l0), "=&r"(r.l1), "=r"(r.l2)
        : "r"(a.l0), "r"(a.l1), "r"(a.l2), "r"(b.l0), "r"(b.l1), "r"(b.l2));
    return r;
#else
    Lazy r = add(a, Fe{b.l0, b.l1});
    r.l2 += b.l2;
    return r;
#endif
}

// The qp6 reduction of a lazy value: (l0 + l1·2^32) + l2·ε, with ε read from
// a knob word `wk`, then ε once more on a carry out of 64 bits. l2 being
// small, that second addition cannot carry; it is the carry times ε, a
// multiply-add like the first.
__device__ __forceinline__ Fe reduce(Lazy a, std::uint32_t wk) {
#if defined(__CUDA_ARCH__)
    Fe r;
    asm("{\n\t"
        ".reg .u32 t0, t1, c;\n\t"
        "mad.lo.cc.u32 t0, %2, %4, %5;\n\t"
        "madc.hi.cc.u32 t1, %2, %4, %3;\n\t"
        "addc.u32 c, 0, 0;\n\t"
        "mad.lo.cc.u32 %0, c, %4, t0;\n\t"
        "madc.hi.u32 %1, c, %4, t1;\n\t"
        "}"
        : "=&r"(r.lo), "=&r"(r.hi)
        : "r"(a.l2), "r"(a.l1), "r"(wk), "r"(a.l0));
    return r;
#else
    const std::uint64_t low = static_cast<std::uint64_t>(a.l1) << 32 | a.l0;
    std::uint64_t r = low + static_cast<std::uint64_t>(a.l2) * wk;
    if (r < low) r += EPSILON;
    return fe(r);
#endif
}

// a·b from its four partial products: the two cross products first, in 64
// bits and a carry word, then a_lo·b_lo and a_hi·b_hi with the cross sum
// added into them in one carry chain.
__device__ __forceinline__ Wide mul_wide(Fe a, Fe b) {
#if defined(__CUDA_ARCH__)
    Wide w;
    asm("{\n\t"
        ".reg .u32 m0, m1, cm;\n\t"
        "mul.lo.u32 m0, %4, %7;\n\t"
        "mul.hi.u32 m1, %4, %7;\n\t"
        "mad.lo.cc.u32 m0, %5, %6, m0;\n\t"
        "madc.hi.cc.u32 m1, %5, %6, m1;\n\t"
        "addc.u32 cm, 0, 0;\n\t"
        "mad.lo.cc.u32 %0, %4, %6, 0;\n\t"
        "madc.hi.cc.u32 %1, %4, %6, m0;\n\t"
        "madc.lo.cc.u32 %2, %5, %7, m1;\n\t"
        "madc.hi.u32 %3, %5, %7, cm;\n\t"
        "}"
        : "=&r"(w.p0), "=&r"(w.p1), "=&r"(w.p2), "=&r"(w.p3)
        : "r"(a.lo), "r"(a.hi), "r"(b.lo), "r"(b.hi));
    return w;
#else
    const std::uint64_t ll = static_cast<std::uint64_t>(a.lo) * b.lo;
    const std::uint64_t lh = static_cast<std::uint64_t>(a.lo) * b.hi;
    const std::uint64_t hl = static_cast<std::uint64_t>(a.hi) * b.lo;
    const std::uint64_t hh = static_cast<std::uint64_t>(a.hi) * b.hi;
    const std::uint64_t cross = lh + hl;
    const std::uint64_t cross_carry = cross < lh ? 1u : 0u;
    const std::uint64_t mid = (ll >> 32) + static_cast<std::uint32_t>(cross);
    const std::uint64_t high = hh + (cross >> 32) + (cross_carry << 32) + (mid >> 32);
    return {static_cast<std::uint32_t>(ll), static_cast<std::uint32_t>(mid), static_cast<std::uint32_t>(high),
            static_cast<std::uint32_t>(high >> 32)};
#endif
}

// a²: the two halves squared, the cross product once, shifted left by one,
// so no half-product is formed twice. The shifted cross product's low word
// joins the middle word as a multiply-add by two (a shift-add with carry),
// so the low square needs no addend pair with a zero word; its upper words
// are the high square's addend, the top bit taken by a high multiply by two,
// which keeps it off the integer ALU.
__device__ __forceinline__ Wide sqr_wide(Fe a) {
#if defined(__CUDA_ARCH__)
    Wide w;
    asm("{\n\t"
        ".reg .u32 c0, c1, c2, t1;\n\t"
        "mul.lo.u32 c0, %4, %5;\n\t"
        "mul.hi.u32 c1, %4, %5;\n\t"
        "mul.hi.u32 c2, c1, 2;\n\t"
        "shf.l.clamp.b32 c1, c0, c1, 1;\n\t"
        "mul.lo.u32 %0, %4, %4;\n\t"
        "mul.hi.u32 t1, %4, %4;\n\t"
        "mad.lo.cc.u32 %1, c0, 2, t1;\n\t"
        "madc.lo.cc.u32 %2, %5, %5, c1;\n\t"
        "madc.hi.u32 %3, %5, %5, c2;\n\t"
        "}"
        : "=&r"(w.p0), "=&r"(w.p1), "=&r"(w.p2), "=&r"(w.p3)
        : "r"(a.lo), "r"(a.hi));
    return w;
#else
    const std::uint64_t ll = static_cast<std::uint64_t>(a.lo) * a.lo;
    const std::uint64_t hh = static_cast<std::uint64_t>(a.hi) * a.hi;
    const std::uint64_t cross = static_cast<std::uint64_t>(a.lo) * a.hi;
    const std::uint64_t cross2_lo = cross << 1;
    const std::uint64_t cross2_hi = cross >> 63;
    const std::uint64_t low = ll + (cross2_lo << 32);
    const std::uint64_t low_carry = low < ll ? 1u : 0u;
    const std::uint64_t high = hh + (cross2_lo >> 32) + (cross2_hi << 32) + low_carry;
    return {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32), static_cast<std::uint32_t>(high),
            static_cast<std::uint32_t>(high >> 32)};
#endif
}

// w + s in plain C++, for the stand-in paths; the caller knows it fits.
__device__ __forceinline__ Wide add_lazy(Wide w, Lazy s) {
    const std::uint64_t low = (static_cast<std::uint64_t>(w.p1) << 32 | w.p0);
    const std::uint64_t s_low = static_cast<std::uint64_t>(s.l1) << 32 | s.l0;
    const std::uint64_t sum = low + s_low;
    const std::uint64_t high = (static_cast<std::uint64_t>(w.p3) << 32 | w.p2) + s.l2 + (sum < low ? 1u : 0u);
    return {static_cast<std::uint32_t>(sum), static_cast<std::uint32_t>(sum >> 32), static_cast<std::uint32_t>(high),
            static_cast<std::uint32_t>(high >> 32)};
}

// a·b + s for a lazy s; exact whenever b is canonical (below p) or s a
// 64-bit word: a·b + s < 2^128 − 2^96 + 2^96, or a·b + s < 2^128 − 2^65 + 2^64.
__device__ __forceinline__ Wide mul_add_wide(Fe a, Fe b, Lazy s) {
#if defined(__CUDA_ARCH__)
    Wide w;
    asm("{\n\t"
        ".reg .u32 l1, m0, m1, cm;\n\t"
        "mul.lo.u32 m0, %4, %7;\n\t"
        "mul.hi.u32 m1, %4, %7;\n\t"
        "mad.lo.cc.u32 m0, %5, %6, m0;\n\t"
        "madc.hi.cc.u32 m1, %5, %6, m1;\n\t"
        "addc.u32 cm, 0, 0;\n\t"
        "mad.lo.cc.u32 %0, %4, %6, %8;\n\t"
        "madc.hi.cc.u32 l1, %4, %6, %9;\n\t"
        "madc.lo.cc.u32 %2, %5, %7, %10;\n\t"
        "madc.hi.u32 %3, %5, %7, 0;\n\t"
        "add.cc.u32 %1, l1, m0;\n\t"
        "addc.cc.u32 %2, %2, m1;\n\t"
        "addc.u32 %3, %3, cm;\n\t"
        "}"
        : "=&r"(w.p0), "=&r"(w.p1), "=&r"(w.p2), "=&r"(w.p3)
        : "r"(a.lo), "r"(a.hi), "r"(b.lo), "r"(b.hi), "r"(s.l0), "r"(s.l1), "r"(s.l2));
    return w;
#else
    return add_lazy(mul_wide(a, b), s);
#endif
}

// a·b + s in one 128-bit accumulation; it cannot overflow.
__device__ __forceinline__ Wide mul_add_wide(Fe a, Fe b, Fe s) { return mul_add_wide(a, b, lazy(s)); }

// a·d + s for a factor d whose halves sum below 2^32: the two cross products
// a_lo·d_hi + a_hi·d_lo are then below (2^32 − 1)·2^32 for any 64-bit a, so
// they add up in 64 bits without a carry word.
__device__ __forceinline__ Wide mul_add_wide_short_cross(Fe a, Fe d, Lazy s) {
#if defined(__CUDA_ARCH__)
    Wide w;
    asm("{\n\t"
        ".reg .u32 c0, c1;\n\t"
        "mul.lo.u32 c0, %4, %7;\n\t"
        "mul.hi.u32 c1, %4, %7;\n\t"
        "mad.lo.cc.u32 c0, %5, %6, c0;\n\t"
        "madc.hi.u32 c1, %5, %6, c1;\n\t"
        "mad.lo.cc.u32 %0, %4, %6, %8;\n\t"
        "madc.hi.cc.u32 %1, %4, %6, %9;\n\t"
        "madc.lo.cc.u32 %2, %5, %7, %10;\n\t"
        "madc.hi.u32 %3, %5, %7, 0;\n\t"
        "add.cc.u32 %1, %1, c0;\n\t"
        "addc.cc.u32 %2, %2, c1;\n\t"
        "addc.u32 %3, %3, 0;\n\t"
        "}"
        : "=&r"(w.p0), "=&r"(w.p1), "=&r"(w.p2), "=&r"(w.p3)
        : "r"(a.lo), "r"(a.hi), "r"(d.lo), "r"(d.hi), "r"(s.l0), "r"(s.l1), "r"(s.l2));
    return w;
#else
    const std::uint64_t cross = static_cast<std::uint64_t>(a.lo) * d.hi + static_cast<std::uint64_t>(a.hi) * d.lo;
    const std::uint64_t ll = static_cast<std::uint64_t>(a.lo) * d.lo;
    const std::uint64_t hh = static_cast<std::uint64_t>(a.hi) * d.hi;
    const std::uint64_t low = ll + (cross << 32);
    const std::uint64_t high = hh + (cross >> 32) + (low < ll ? 1u : 0u);
    return add_lazy(Wide{static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32),
                         static_cast<std::uint32_t>(high), static_cast<std::uint32_t>(high >> 32)},
                    s);
#endif
}

// The sum of twelve elements from their halves: the low halves in one
// 64-bit accumulator, the high halves in another, then low + high·2^32 as a
// lazy value (below 2^68, so its carry word stays below 16).
__device__ __forceinline__ Lazy sum_by_halves(const Fe (&x)[12]) {
    std::uint64_t low = 0, high = 0;
    QTC_FORMS_UNROLLED
    for (int i = 0; i < 12; ++i) {
        low += x[i].lo;
        high += x[i].hi;
    }
    const std::uint64_t middle = (low >> 32) + static_cast<std::uint32_t>(high);
    return {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(middle),
            static_cast<std::uint32_t>(high >> 32) + static_cast<std::uint32_t>(middle >> 32)};
}

// Subtractive reduction, from 2^64 ≡ ε and 2^96 ≡ −1:
// p1 + p2 = s + c·2^32, X = (s + c)·2^32 + p0, Y = p2 + p3 + c, result X − Y,
// and ε off once more when that subtraction borrows (it cannot borrow twice).
// c stays in the carry flag: an addc without .cc leaves the flag as it was,
// so the same c goes into X's high word and into Y.
__device__ __forceinline__ Fe reduce_subtractive(Wide w) {
#if defined(__CUDA_ARCH__)
    Fe r;
    asm("{\n\t"
        ".reg .u32 s, xh, y0, y1, m;\n\t"
        "add.cc.u32 s, %3, %4;\n\t"
        "addc.u32 xh, s, 0;\n\t"
        "addc.cc.u32 y0, %4, %5;\n\t"
        "addc.u32 y1, 0, 0;\n\t"
        "sub.cc.u32 %0, %2, y0;\n\t"
        "subc.cc.u32 %1, xh, y1;\n\t"
        "subc.u32 m, 0, 0;\n\t"
        "sub.cc.u32 %0, %0, m;\n\t"
        "subc.u32 %1, %1, 0;\n\t"
        "}"
        : "=&r"(r.lo), "=&r"(r.hi)
        : "r"(w.p0), "r"(w.p1), "r"(w.p2), "r"(w.p3));
    return r;
#else
    const std::uint64_t t = static_cast<std::uint64_t>(w.p1) + w.p2;
    const auto c = static_cast<std::uint32_t>(t >> 32);
    const std::uint64_t x = static_cast<std::uint64_t>(static_cast<std::uint32_t>(t) + c) << 32 | w.p0;
    const std::uint64_t y = static_cast<std::uint64_t>(w.p2) + w.p3 + c;
    std::uint64_t r = x - y;
    if (x < y) r -= EPSILON;
    return fe(r);
#endif
}

// Both ε-multiply forms in plain C++: they differ only in their carry chain.
__device__ __forceinline__ Fe reduce_eps_reference(Wide w, std::uint32_t wk) {
    const std::uint64_t low = static_cast<std::uint64_t>(w.p1) << 32 | w.p0;
    const std::uint64_t l = low + static_cast<std::uint64_t>(w.p2) * wk;
    const std::uint64_t k = l < low ? 1u : 0u;
    const std::uint64_t x = l + (k << 32);
    const std::uint64_t y = w.p3 + k;
    std::uint64_t r = x - y;
    if (x < y) r -= EPSILON;
    return fe(r);
}

// ε-multiply reduction, from 2^64 ≡ ε and 2^96 ≡ −1: L = p0 + p1·2^32 + p2·ε
// by one multiply-add with the knob word `wk` (ε), 64 bits and a carry k;
// then (L + k·2^32) − (p3 + k), which cannot overflow (L < 2^64 − 2^33 when
// k is 1), and ε off once more when the subtraction borrows. Here p3 + k is
// formed first and then subtracted; k stays in the carry flag for both
// L + k·2^32 and p3 + k (an addc without .cc leaves the flag as it was).
__device__ __forceinline__ Fe reduce_eps_carry_added(Wide w, std::uint32_t wk) {
#if defined(__CUDA_ARCH__)
    Fe r;
    asm("{\n\t"
        ".reg .u32 l0, l1, xh, y0, y1, m;\n\t"
        "mad.lo.cc.u32 l0, %4, %5, %2;\n\t"
        "madc.hi.cc.u32 l1, %4, %5, %3;\n\t"
        "addc.u32 xh, l1, 0;\n\t"
        "addc.cc.u32 y0, %6, 0;\n\t"
        "addc.u32 y1, 0, 0;\n\t"
        "sub.cc.u32 %0, l0, y0;\n\t"
        "subc.cc.u32 %1, xh, y1;\n\t"
        "subc.u32 m, 0, 0;\n\t"
        "sub.cc.u32 %0, %0, m;\n\t"
        "subc.u32 %1, %1, 0;\n\t"
        "}"
        : "=&r"(r.lo), "=&r"(r.hi)
        : "r"(w.p0), "r"(w.p1), "r"(w.p2), "r"(wk), "r"(w.p3));
    return r;
#else
    return reduce_eps_reference(w, wk);
#endif
}

// The same reduction with k taken as the incoming borrow of the subtraction
// of p3, so that p3 + k is never formed. The borrow comes from subtracting
// L's high word plus k from L's high word, which borrows exactly when k is 1.
__device__ __forceinline__ Fe reduce_eps_carry_fused(Wide w, std::uint32_t wk) {
#if defined(__CUDA_ARCH__)
    Fe r;
    asm("{\n\t"
        ".reg .u32 l0, l1, xh, z, m;\n\t"
        "mad.lo.cc.u32 l0, %4, %5, %2;\n\t"
        "madc.hi.cc.u32 l1, %4, %5, %3;\n\t"
        "addc.u32 xh, l1, 0;\n\t"
        "sub.cc.u32 z, l1, xh;\n\t"
        "subc.cc.u32 %0, l0, %6;\n\t"
        "subc.cc.u32 %1, xh, 0;\n\t"
        "subc.u32 m, 0, 0;\n\t"
        "sub.cc.u32 %0, %0, m;\n\t"
        "subc.u32 %1, %1, 0;\n\t"
        "}"
        : "=&r"(r.lo), "=&r"(r.hi)
        : "r"(w.p0), "r"(w.p1), "r"(w.p2), "r"(wk), "r"(w.p3));
    return r;
#else
    return reduce_eps_reference(w, wk);
#endif
}

// The word below p: p … 2^64 − 1 lose p (that is, gain ε modulo 2^64).
__device__ __forceinline__ Fe canonical(Fe a) {
    const bool over = a.hi == EPSILON && a.lo != 0;
    return over ? Fe{a.lo - 1, 0} : a;
}

__device__ __forceinline__ std::uint32_t byte_swap(std::uint32_t v) {
#if defined(__CUDA_ARCH__)
    std::uint32_t r;
    asm("prmt.b32 %0, %1, 0, 0x0123;" : "=r"(r) : "r"(v));
    return r;
#else
    return (v >> 24) | (v >> 8 & 0xff00u) | (v << 8 & 0xff0000u) | (v << 24);
#endif
}

}  // namespace qtc_forms
