#include "poseidon2-core/src/permutation_variants.hpp"

#include "poseidon2-core/src/field.hpp"

namespace poseidon2 {
namespace {

// The linear layers work on exact 128-bit sums: every output is a small
// integer combination of inputs (row sums at most 28), so its high word stays
// tiny and one cheap fold replaces a carry fold per addition.

// Circulant [2,3,1,1] block, in the order of eight additions and two doublings.
[[gnu::always_inline]] inline void mix4(u128 y[4], std::uint64_t x0, std::uint64_t x1,
                                        std::uint64_t x2, std::uint64_t x3) {
    const u128 t01 = static_cast<u128>(x0) + x1;
    const u128 t23 = static_cast<u128>(x2) + x3;
    const u128 t0123 = t01 + t23;
    const u128 t01123 = t0123 + x1;
    const u128 t01233 = t0123 + x3;
    y[3] = t01233 + 2 * static_cast<u128>(x0);
    y[1] = t01123 + 2 * static_cast<u128>(x2);
    y[0] = t01123 + t01;
    y[2] = t01233 + t23;
}

[[gnu::always_inline]] inline void external_linear_layer(std::uint64_t state[WIDTH]) {
    u128 y[WIDTH];
    for (unsigned chunk = 0; chunk < WIDTH; chunk += 4)
        mix4(&y[chunk], state[chunk], state[chunk + 1], state[chunk + 2], state[chunk + 3]);
    u128 column_sum[4];
    for (unsigned k = 0; k < 4; ++k) column_sum[k] = y[k] + y[4 + k] + y[8 + k];
    for (unsigned i = 0; i < WIDTH; ++i) state[i] = gl_reduce_sum(y[i] + column_sum[i % 4]);
}

[[gnu::always_inline]] inline void external_round(std::uint64_t state[WIDTH],
                                                  const std::uint64_t rc[WIDTH]) {
    for (unsigned i = 0; i < WIDTH; ++i) state[i] = sbox7(gl_add(state[i], rc[i]));
    external_linear_layer(state);
}

[[gnu::always_inline]] inline void internal_round(std::uint64_t state[WIDTH], std::uint64_t rc,
                                                  const std::uint64_t diag[WIDTH]) {
    // Sum the untouched elements first so that the sum overlaps the S-box.
    u128 rest = 0;
    for (unsigned i = 1; i < WIDTH; ++i) rest += state[i];
    state[0] = sbox7(gl_add(state[0], rc));
    const std::uint64_t s = gl_reduce_sum(rest + state[0]);
    for (unsigned i = 0; i < WIDTH; ++i)
        state[i] = gl_reduce128(static_cast<u128>(state[i]) * diag[i] + s);
}

}  // namespace

void permute_scalar(std::uint64_t state[WIDTH], const std::uint64_t constants[CONSTANTS_LEN]) {
    const std::uint64_t* rc_init = constants + RC_EXT_INIT_OFFSET;
    const std::uint64_t* rc_term = constants + RC_EXT_TERM_OFFSET;
    const std::uint64_t* diag = constants + DIAG_OFFSET;
    const std::uint64_t* rc_int = constants + RC_INT_OFFSET;

    external_linear_layer(state);
    for (unsigned r = 0; r < EXTERNAL_ROUNDS; ++r) external_round(state, rc_init + r * WIDTH);
    for (unsigned r = 0; r < INTERNAL_ROUNDS; ++r) internal_round(state, rc_int[r], diag);
    for (unsigned r = 0; r < EXTERNAL_ROUNDS; ++r) external_round(state, rc_term + r * WIDTH);
}

}  // namespace poseidon2
