// The rounds of the modules that fold every round's constants into the
// previous round's last multiplication, so no constant is added before an
// S-box: after the initial linear layer, QP_RC_EXT_INIT row 0 (in c_mm
// already for permutation 3); in each external round the S-box's last
// multiplication adds QP_FOLD_INIT or QP_FOLD_TERM (M_E^-1 of the next
// round's constants, the last row zero); in each internal round element 0's
// diagonal product adds QP_RC_INT_NEXT. The internal-round sum is formed
// from the elements' halves and kept at 96 bits. Included by
// kernel_shape.cuh; no include guard.

// Element k of an external round's state (k = 12·round + index): reduced,
// through the S-box, the fold of the next round's constant added in its last
// multiplication.
template <bool TERMINAL>
__device__ __forceinline__ Fe external_sbox(const Lazy& v, int k) {
    const std::uint64_t fold = TERMINAL ? QP_FOLD_TERM[k] : QP_FOLD_INIT[k];
    return sbox7_plus(qp6_reduce(v), fe(fold));
}

// The S-boxes of external round r chunk by chunk, each chunk's four S-boxes
// and its mix4 where MIX is set; the chunks are written out, so every
// element stays in its own registers.
template <bool TERMINAL, bool MIX>
__device__ __forceinline__ void sbox_chunks(State& st, int r) {
    QTC_UNROLLED
    for (int c = 0; c < 3; ++c) {
        Lazy y[4];
        QTC_UNROLLED
        for (int j = 0; j < 4; ++j) y[j] = lazy(external_sbox<TERMINAL>(st[4 * c + j], 12 * r + 4 * c + j));
        if (MIX) mix4(y[0], y[1], y[2], y[3]);
        QTC_UNROLLED
        for (int j = 0; j < 4; ++j) st[4 * c + j] = y[j];
    }
}

template <bool TERMINAL>
__device__ __forceinline__ void external_round(State& st, int r) {
    sbox_chunks<TERMINAL, true>(st, r);
    add_column_sums(st);
}

// The first row of an external round's constants, added on lazy values.
template <bool TERMINAL>
__device__ __forceinline__ void add_first_row(State& st) {
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = add(st[i], fe(TERMINAL ? QP_RC_EXT_TERM[i] : QP_RC_EXT_INIT[i]));
}

// After a permutation's initial linear layer: the first external round's
// constants.
__device__ __forceinline__ void add_first_round_constants(State& st) { add_first_row<false>(st); }

// QP_DIAG entries 0, 2, 6 and 10 have halves that sum below 2^32.
__device__ __forceinline__ bool short_cross_diag(int i) { return i == 0 || i == 2 || i == 6 || i == 10; }

// x·QP_DIAG[i] + s; i is a constant once the loops are unrolled.
__device__ __forceinline__ Fe diagonal_product(Fe x, int i, Lazy s) {
    const Fe d = fe(QP_DIAG[i]);
    return short_cross_diag(i) ? mul_add_short_cross(x, d, s) : mul_add(x, d, s);
}

// QP_RC_INT_NEXT at a byte offset: the internal round loop steps the offset
// itself, so no round index is scaled to an address in every round.
__device__ __forceinline__ std::uint64_t next_internal_constant(unsigned offset) {
    return *reinterpret_cast<const std::uint64_t*>(reinterpret_cast<const char*>(&QP_RC_INT_NEXT[0]) + offset);
}

// Element 0 arrives with this round's constant already in it; `next_constant`
// is the next round's, folded into its diagonal product.
__device__ __forceinline__ void internal_round(Fe (&x)[12], std::uint64_t next_constant) {
    x[0] = sbox7(x[0]);
    const Lazy sum = sum_by_halves(x);
    x[0] = diagonal_product(x[0], 0, add(sum, fe(next_constant)));
    QTC_UNROLLED
    for (int i = 1; i < 12; ++i) x[i] = diagonal_product(x[i], i, sum);
}

// The 30 rounds of a permutation whose initial linear layer and first
// constants are done; the last terminal rounds from `terminal_rounds` on are
// left to the caller.
__device__ __forceinline__ void rounds(State& st, int terminal_rounds = 4) {
    QTC_SHAPE_ROUND_LOOP
    for (int r = 0; r < 4; ++r) external_round<false>(st, r);
    st[0] = add(st[0], fe(QP_RC_INT[0]));
    Fe x[12];
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) x[i] = qp6_reduce(st[i]);
    QTC_SHAPE_ROUND_LOOP
    for (unsigned offset = 0; offset < 22 * sizeof(std::uint64_t); offset += sizeof(std::uint64_t))
        internal_round(x, next_internal_constant(offset));
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = lazy(x[i]);
    add_first_row<true>(st);
    QTC_SHAPE_ROUND_LOOP
    for (int r = 0; r < terminal_rounds; ++r) external_round<true>(st, r);
}
