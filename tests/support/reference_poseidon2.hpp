// A deliberately plain Poseidon2 for the tests: canonical residues with
// % p on 128-bit products, and the linear layers as explicit matrices built
// from their definitions. Slow, short, and written apart from the real one.
#pragma once

#include <array>
#include <cstdint>

#include "poseidon2-core/src/constants.hpp"

namespace reference {

__extension__ typedef unsigned __int128 u128;
using State = std::array<std::uint64_t, 12>;
inline constexpr std::uint64_t P = 0xffffffff00000001ULL;

inline std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>((static_cast<u128>(a % P) + b % P) % P);
}
inline std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>(static_cast<u128>(a % P) * (b % P) % P);
}
inline std::uint64_t pow7(std::uint64_t x) {
    std::uint64_t r = 1;
    for (int i = 0; i < 7; ++i) r = mul(r, x);
    return r;
}

inline State mat_mul(const std::uint64_t (&m)[12][12], const State& x) {
    State y{};
    for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 12; ++j) y[i] = add(y[i], mul(m[i][j], x[j]));
    return y;
}

inline void external_matrix(std::uint64_t (&m)[12][12]) {
    constexpr std::uint64_t M4[4][4] = {{2, 3, 1, 1}, {1, 2, 3, 1}, {1, 1, 2, 3}, {3, 1, 1, 2}};
    for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 12; ++j) m[i][j] = M4[i % 4][j % 4] * (i / 4 == j / 4 ? 2 : 1);
}

inline void internal_matrix(std::uint64_t (&m)[12][12]) {
    for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 12; ++j) m[i][j] = i == j ? add(1, poseidon2::QP_DIAG[i]) : 1;
}

inline State permute(State x) {
    std::uint64_t ext[12][12], inner[12][12];
    external_matrix(ext);
    internal_matrix(inner);
    x = mat_mul(ext, x);
    for (const auto& rc : poseidon2::QP_RC_EXT_INIT) {
        for (int i = 0; i < 12; ++i) x[i] = pow7(add(x[i], rc[i]));
        x = mat_mul(ext, x);
    }
    for (std::uint64_t rc : poseidon2::QP_RC_INT) {
        x[0] = pow7(add(x[0], rc));
        x = mat_mul(inner, x);
    }
    for (const auto& rc : poseidon2::QP_RC_EXT_TERM) {
        for (int i = 0; i < 12; ++i) x[i] = pow7(add(x[i], rc[i]));
        x = mat_mul(ext, x);
    }
    return x;
}

}  // namespace reference
