// The rounds of the modules that fold every round's constants into the
// previous round's last multiplication, so no constant is added before an
// S-box: after the initial linear layer, QP_RC_EXT_INIT row 0 (in c_mm
// already for permutation 3); in each external round the S-box's last
// multiplication adds QP_FOLD_INIT or QP_FOLD_TERM (M_E^-1 of the next
// round's constants, the last row zero); in each internal round element 0's
// diagonal product adds QP_RC_INT_NEXT. The internal-round sum is formed
// from the elements' halves and kept at 96 bits. Included by
// kernel_shape.cuh; no include guard.

template <bool TERMINAL>
__device__ __forceinline__ Fe external_sbox(const Lazy& v, int k) {
    const std::uint64_t fold = TERMINAL ? QP_FOLD_TERM[k] : QP_FOLD_INIT[k];
    return sbox7_plus(qp6_reduce(v), fe(fold));
}

// The first row of an external round's constants, added on lazy values.
template <bool TERMINAL>
__device__ __forceinline__ void add_first_row(State& st) {
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = add(st[i], fe(TERMINAL ? QP_RC_EXT_TERM[i] : QP_RC_EXT_INIT[i]));
}

// After a permutation's initial linear layer: the first external round's
// constants; before the internal rounds: the first internal constant; before
// the terminal rounds: the first terminal round's constants.
__device__ __forceinline__ void add_first_round_constants(State& st) { add_first_row<false>(st); }
__device__ __forceinline__ void add_internal_start_constant(State& st) { st[0] = add(st[0], fe(QP_RC_INT[0])); }
__device__ __forceinline__ void add_terminal_start_constants(State& st) { add_first_row<true>(st); }

// QP_DIAG entries 0, 2, 6 and 10 have halves that sum below 2^32.
__device__ __forceinline__ bool short_cross_diag(int i) { return i == 0 || i == 2 || i == 6 || i == 10; }

// x·QP_DIAG[i] + s; i is a constant once the loops are unrolled.
__device__ __forceinline__ Fe diagonal_product(Fe x, int i, Lazy s) {
    const Fe d = fe(QP_DIAG[i]);
    return short_cross_diag(i) ? mul_add_short_cross(x, d, s) : mul_add(x, d, s);
}

// Element 0 arrives with this round's constant already in it.
__device__ __forceinline__ void internal_round(Fe (&x)[12], int r) {
    x[0] = sbox7(x[0]);
    const Lazy sum = sum_by_halves(x);
    x[0] = diagonal_product(x[0], 0, add(sum, fe(QP_RC_INT_NEXT[r])));
    QTC_UNROLLED
    for (int i = 1; i < 12; ++i) x[i] = diagonal_product(x[i], i, sum);
}
