// Every number form of cuda/kernels/number_forms.hpp applied to one case's
// operands, the products reduced by each of the three product reductions as
// the modules reduce them. The test kernels (number_forms_kernels.cu) run
// it under nvcc, the inline PTX; the test (number_forms_test.cpp) runs it
// with the host copies, which every result must equal word for word.
//
// The records hold 32-bit words only, so that nvcc reads and writes them a
// word at a time (the interpreter has no vector loads).
#pragma once

#include <cstdint>

#include "cuda/kernels/number_forms.hpp"

namespace forms_test {

using qtc_forms::Fe;
using qtc_forms::Lazy;
using qtc_forms::Wide;

struct Operands {
    Fe a, b;
    Lazy s;
    std::uint32_t wk;  // the knob word, ε
};

enum Reduction { SUBTRACTIVE, EPS_CARRY_ADDED, EPS_CARRY_FUSED, REDUCTIONS };
enum Product { PRODUCT, SQUARE, PRODUCT_PLUS_LAZY, PRODUCTS };

struct Results {
    Lazy sum;          // s + a
    Lazy lazy_sum;     // (a + b) + s, a lazy value plus a lazy value
    Fe qp6;            // s reduced
    Fe canonical;      // a below p
    Wide wide[PRODUCTS];            // a·b, a², a·b + s
    Wide short_cross;               // a·b + s by the short cross product
    Fe reduced[REDUCTIONS][PRODUCTS];
};

__device__ __forceinline__ Fe reduce_by(Reduction r, Wide w, std::uint32_t wk) {
    switch (r) {
        case SUBTRACTIVE: return qtc_forms::reduce_subtractive(w);
        case EPS_CARRY_ADDED: return qtc_forms::reduce_eps_carry_added(w, wk);
        default: return qtc_forms::reduce_eps_carry_fused(w, wk);
    }
}

__device__ __forceinline__ Results apply(const Operands& in) {
    using namespace qtc_forms;
    Results out;
    out.sum = add(in.s, in.a);
    out.lazy_sum = add(add(lazy(in.a), in.b), in.s);
    out.qp6 = reduce(in.s, in.wk);
    out.canonical = canonical(in.a);
    out.wide[PRODUCT] = mul_wide(in.a, in.b);
    out.wide[SQUARE] = sqr_wide(in.a);
    out.wide[PRODUCT_PLUS_LAZY] = mul_add_wide(in.a, in.b, in.s);
    out.short_cross = mul_add_wide_short_cross(in.a, in.b, in.s);
    QTC_FORMS_UNROLLED
    for (int r = 0; r < REDUCTIONS; ++r)
        QTC_FORMS_UNROLLED
        for (int p = 0; p < PRODUCTS; ++p)
            out.reduced[r][p] = reduce_by(static_cast<Reduction>(r), out.wide[p], in.wk);
    return out;
}

// Twelve elements, for the sum by halves.
struct Twelve {
    Fe x[12];
};

}  // namespace forms_test
