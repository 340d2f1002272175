// The permutation with AVX2. The state lives in three vectors of four
// lanes; the twelve S-boxes of an external round, the linear layers and the
// eleven diagonal products of each internal round run on the vector units,
// while the S-box chain of internal element 0 stays scalar. Four 32-bit
// multiplies make one 64 × 64 → 128-bit product; the reductions are the
// scalar ones, lane by lane, with unsigned compares for the carries.
#include "poseidon2-core/src/permutation_variants.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include "poseidon2-core/src/field.hpp"

// AVX2 for the functions from here on, and only for them: the inline
// functions of the headers above stay plain x86-64 code, since the linker
// may keep this file's copy of one for the whole program, scalar path
// included. gcc takes its target pragma; clang ignores that one and takes
// the same attribute pushed onto every function that follows.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace poseidon2 {
namespace {

using V = __m256i;

[[gnu::always_inline]] inline V splat(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }
[[gnu::always_inline]] inline V add(V a, V b) { return _mm256_add_epi64(a, b); }
[[gnu::always_inline]] inline V sub(V a, V b) { return _mm256_sub_epi64(a, b); }
[[gnu::always_inline]] inline V low_halves(V v) { return _mm256_and_si256(v, splat(EPSILON)); }
[[gnu::always_inline]] inline V high_halves(V v) { return _mm256_srli_epi64(v, 32); }
[[gnu::always_inline]] inline V shift_up(V v) { return _mm256_slli_epi64(v, 32); }

// All-ones lanes where a < b, unsigned.
[[gnu::always_inline]] inline V less_than(V a, V b) {
    const V sign = splat(1ULL << 63);
    return _mm256_cmpgt_epi64(_mm256_xor_si256(b, sign), _mm256_xor_si256(a, sign));
}

// EPSILON in the lanes of an all-ones mask, 0 elsewhere.
[[gnu::always_inline]] inline V epsilon_where(V mask) { return _mm256_srli_epi64(mask, 32); }

struct Wide {
    V lo, hi;
};

[[gnu::always_inline]] inline Wide mul_wide(V a, V b) {
    const V a_hi = high_halves(a);
    const V b_hi = high_halves(b);
    const V ll = _mm256_mul_epu32(a, b);
    const V lh = _mm256_mul_epu32(a, b_hi);
    const V hl = _mm256_mul_epu32(a_hi, b);
    const V hh = _mm256_mul_epu32(a_hi, b_hi);
    const V t = add(hl, high_halves(ll));   // < 2^64
    const V u = add(lh, low_halves(t));     // < 2^64
    return {_mm256_blend_epi32(ll, shift_up(u), 0xaa), add(hh, add(high_halves(t), high_halves(u)))};
}

// a·a: the two cross products are equal.
[[gnu::always_inline]] inline Wide square_wide(V a) {
    const V a_hi = high_halves(a);
    const V ll = _mm256_mul_epu32(a, a);
    const V cross = _mm256_mul_epu32(a, a_hi);
    const V hh = _mm256_mul_epu32(a_hi, a_hi);
    const V t = add(cross, high_halves(ll));
    const V u = add(cross, low_halves(t));
    return {_mm256_blend_epi32(ll, shift_up(u), 0xaa), add(hh, add(high_halves(t), high_halves(u)))};
}

// gl_reduce128, lane by lane.
[[gnu::always_inline]] inline V reduce(Wide w) {
    const V hi_hi = high_halves(w.hi);
    const V t0 = sub(sub(w.lo, hi_hi), epsilon_where(less_than(w.lo, hi_hi)));
    const V t1 = sub(shift_up(w.hi), low_halves(w.hi));
    const V r = add(t0, t1);
    return add(r, epsilon_where(less_than(r, t1)));
}

[[gnu::always_inline]] inline V mul(V a, V b) { return reduce(mul_wide(a, b)); }

// a·b + c, which never exceeds 2^128 − 1.
[[gnu::always_inline]] inline V mul_add(V a, V b, V c) {
    const Wide product = mul_wide(a, b);
    const V lo = add(product.lo, c);
    return reduce({lo, sub(product.hi, less_than(lo, c))});  // a carry mask is −1
}

[[gnu::always_inline]] inline V sbox7(V x) {
    const V x2 = reduce(square_wide(x));
    const V x3 = mul(x2, x);
    const V x4 = reduce(square_wide(x2));
    return mul(x4, x3);
}

// x + c for a canonical constant c: one fold is enough.
[[gnu::always_inline]] inline V add_constant(V x, V c) {
    const V s = add(x, c);
    return add(s, epsilon_where(less_than(s, c)));
}

// The linear layers add 32-bit halves in 64-bit lanes, where nothing can
// overflow, and fold each output back to one word at the end.
struct Halves {
    V lo, hi;  // stands for lo + hi·2^32; both below 2^40
};

[[gnu::always_inline]] inline Halves split(V v) { return {low_halves(v), high_halves(v)}; }
[[gnu::always_inline]] inline Halves add(Halves a, Halves b) { return {add(a.lo, b.lo), add(a.hi, b.hi)}; }

// Every lane: the sum of the four lanes.
[[gnu::always_inline]] inline V lane_total(V v) {
    const V pairs = add(v, _mm256_permute4x64_epi64(v, _MM_SHUFFLE(1, 0, 3, 2)));
    return add(pairs, _mm256_shuffle_epi32(pairs, _MM_SHUFFLE(1, 0, 3, 2)));
}

// The circulant [2,3,1,1] block: lane i becomes Σv + v_i + 2·v_(i+1 mod 4).
[[gnu::always_inline]] inline V mix4(V v) {
    const V next = _mm256_permute4x64_epi64(v, _MM_SHUFFLE(0, 3, 2, 1));
    return add(add(lane_total(v), v), add(next, next));
}

[[gnu::always_inline]] inline Halves mix4(Halves h) { return {mix4(h.lo), mix4(h.hi)}; }

// lo + hi·2^32 ≡ lo + (hi mod 2^32)·2^32 + (hi >> 32)·EPSILON, folded.
[[gnu::always_inline]] inline V combine(Halves h) {
    const V shifted = shift_up(h.hi);
    V s = add(h.lo, shifted);
    s = add(s, epsilon_where(less_than(s, shifted)));
    const V top = high_halves(h.hi);
    const V top_times_epsilon = sub(shift_up(top), top);
    const V r = add(s, top_times_epsilon);
    return add(r, epsilon_where(less_than(r, top_times_epsilon)));
}

// Element i becomes y_i + s_(i mod 4), y being mix4 of each chunk of four
// and s_k the sum of column k of y, that is mix4 of the column sums.
[[gnu::always_inline]] inline void external_linear_layer(V x[3]) {
    const Halves chunk[3] = {split(x[0]), split(x[1]), split(x[2])};
    const Halves columns = mix4(add(add(chunk[0], chunk[1]), chunk[2]));
    for (int k = 0; k < 3; ++k) x[k] = combine(add(mix4(chunk[k]), columns));
}

[[gnu::always_inline]] inline void external_round(V x[3], const std::uint64_t* rc) {
    for (int k = 0; k < 3; ++k)
        x[k] = sbox7(add_constant(x[k], _mm256_loadu_si256(reinterpret_cast<const V*>(rc + 4 * k))));
    external_linear_layer(x);
}

// Sum of all lanes of the three vectors, reduced to one word.
[[gnu::always_inline]] inline std::uint64_t total(const V x[3]) {
    const Halves h = add(add(split(x[0]), split(x[1])), split(x[2]));
    __m128i lo = _mm_add_epi64(_mm256_castsi256_si128(h.lo), _mm256_extracti128_si256(h.lo, 1));
    __m128i hi = _mm_add_epi64(_mm256_castsi256_si128(h.hi), _mm256_extracti128_si256(h.hi, 1));
    lo = _mm_add_epi64(lo, _mm_unpackhi_epi64(lo, lo));
    hi = _mm_add_epi64(hi, _mm_unpackhi_epi64(hi, hi));
    const auto lo_sum = static_cast<std::uint64_t>(_mm_cvtsi128_si64(lo));
    const auto hi_sum = static_cast<std::uint64_t>(_mm_cvtsi128_si64(hi));
    return gl_reduce_sum(static_cast<u128>(lo_sum) + (static_cast<u128>(hi_sum) << 32));
}

// Element 0 runs the S-box chain in scalar code, carried with the next
// round constant already added; its new value x0·(d0 + 1) + Σ(others) needs
// only the sum of the others from before the round. Elements 1-11 stay in
// the vectors (lane 0 of the first held at zero) and take x_i·d_i + s.
[[gnu::always_inline]] inline void internal_rounds(V x[3], const std::uint64_t* rc, const std::uint64_t* diag) {
    const V diag_v[3] = {_mm256_loadu_si256(reinterpret_cast<const V*>(diag)),
                         _mm256_loadu_si256(reinterpret_cast<const V*>(diag + 4)),
                         _mm256_loadu_si256(reinterpret_cast<const V*>(diag + 8))};
    const V without_lane0 = _mm256_set_epi64x(-1, -1, -1, 0);
    const std::uint64_t diag0_plus_one = diag[0] + 1;  // diag[0] < p, so no wrap

    std::uint64_t x0 = static_cast<std::uint64_t>(_mm256_extract_epi64(x[0], 0));
    std::uint64_t carried;
    const bool carry = __builtin_add_overflow(x0, rc[0], &carried);
    x0 = carried + epsilon_if(carry);
    x[0] = _mm256_and_si256(x[0], without_lane0);
    std::uint64_t others = total(x);

    for (unsigned r = 0; r < INTERNAL_ROUNDS; ++r) {
        const std::uint64_t y0 = poseidon2::sbox7(x0);
        const V s = splat(gl_reduce_sum(static_cast<u128>(others) + y0));
        for (int k = 0; k < 3; ++k) x[k] = mul_add(x[k], diag_v[k], s);
        x[0] = _mm256_and_si256(x[0], without_lane0);
        const std::uint64_t next_rc = r + 1 < INTERNAL_ROUNDS ? rc[r + 1] : 0;
        x0 = gl_reduce128(static_cast<u128>(y0) * diag0_plus_one + others + next_rc);
        others = total(x);
    }
    x[0] = _mm256_or_si256(x[0], _mm256_set_epi64x(0, 0, 0, static_cast<long long>(x0)));
}

}  // namespace

void permute_avx2(std::uint64_t state[WIDTH], const std::uint64_t constants[CONSTANTS_LEN]) {
    V x[3];
    for (int k = 0; k < 3; ++k) x[k] = _mm256_loadu_si256(reinterpret_cast<const V*>(state + 4 * k));
    external_linear_layer(x);
    for (unsigned r = 0; r < EXTERNAL_ROUNDS; ++r) external_round(x, constants + RC_EXT_INIT_OFFSET + r * WIDTH);
    internal_rounds(x, constants + RC_INT_OFFSET, constants + DIAG_OFFSET);
    for (unsigned r = 0; r < EXTERNAL_ROUNDS; ++r) external_round(x, constants + RC_EXT_TERM_OFFSET + r * WIDTH);
    for (int k = 0; k < 3; ++k) _mm256_storeu_si256(reinterpret_cast<V*>(state + 4 * k), x[k]);
}

}  // namespace poseidon2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

#include <cstdlib>

namespace poseidon2 {
void permute_avx2(std::uint64_t[WIDTH], const std::uint64_t[CONSTANTS_LEN]) { std::abort(); }
}  // namespace poseidon2

#endif
