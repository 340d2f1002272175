// Goldilocks field arithmetic, p = 2^64 - 2^32 + 1.
//
// Elements are plain 64-bit words that need not be canonical: any word stands
// for its residue modulo p. Every operation here is branch-free; carries and
// borrows are folded back with EPSILON = 2^32 - 1 (2^64 ≡ EPSILON mod p).
#pragma once

#include <cstdint>

namespace poseidon2 {

__extension__ typedef unsigned __int128 u128;

inline constexpr std::uint64_t GOLDILOCKS_P = 0xffffffff00000001ULL;
inline constexpr std::uint64_t EPSILON = 0xffffffffULL;

// EPSILON when `flag` is set, else 0.
[[gnu::always_inline]] inline std::uint64_t epsilon_if(bool flag) {
    return EPSILON & (0 - static_cast<std::uint64_t>(flag));
}

[[gnu::always_inline]] inline std::uint64_t gl_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t s;
    bool carry = __builtin_add_overflow(a, b, &s);
    carry = __builtin_add_overflow(s, epsilon_if(carry), &s);
    return s + epsilon_if(carry);  // a second fold cannot carry
}

// Residue of any 128-bit value: 2^64 ≡ EPSILON and 2^96 ≡ -1.
[[gnu::always_inline]] inline std::uint64_t gl_reduce128(u128 x) {
    const auto lo = static_cast<std::uint64_t>(x);
    const auto hi = static_cast<std::uint64_t>(x >> 64);
    const std::uint64_t hi_hi = hi >> 32;
    const std::uint64_t hi_lo = hi & EPSILON;
    std::uint64_t t0;
    const bool borrow = __builtin_sub_overflow(lo, hi_hi, &t0);
    t0 -= epsilon_if(borrow);
    const std::uint64_t t1 = hi_lo * EPSILON;
    std::uint64_t r;
    const bool carry = __builtin_add_overflow(t0, t1, &r);
    return r + epsilon_if(carry);
}

// Residue of a 128-bit value whose high word is below 2^32, the shape of any
// short sum of elements: one multiply-free fold.
[[gnu::always_inline]] inline std::uint64_t gl_reduce_sum(u128 x) {
    const auto lo = static_cast<std::uint64_t>(x);
    const auto hi = static_cast<std::uint64_t>(x >> 64);
    std::uint64_t r;
    const bool carry = __builtin_add_overflow(lo, hi * EPSILON, &r);
    return r + epsilon_if(carry);
}

[[gnu::always_inline]] inline std::uint64_t gl_mul(std::uint64_t a, std::uint64_t b) {
    return gl_reduce128(static_cast<u128>(a) * b);
}

[[gnu::always_inline]] inline std::uint64_t gl_canonical(std::uint64_t x) {
    // x >= p exactly when x + EPSILON wraps; then x - p == x + EPSILON.
    std::uint64_t r;
    return __builtin_add_overflow(x, EPSILON, &r) ? r : x;
}

[[gnu::always_inline]] inline std::uint64_t sbox7(std::uint64_t x) {
    const std::uint64_t x2 = gl_mul(x, x);
    const std::uint64_t x3 = gl_mul(x2, x);
    const std::uint64_t x4 = gl_mul(x2, x2);
    return gl_mul(x4, x3);
}

}  // namespace poseidon2
