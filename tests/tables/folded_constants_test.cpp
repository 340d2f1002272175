// The generated folded tables: the entries known in advance, their shape, and
// the property they exist for. Adding M_E^-1 * c before external_linear_layer
// leaves the same residues as adding c after it, so a permutation run with the
// folded tables matches the host permutation.

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include "folded_constants.hpp"
#include "poseidon2-core/src/constants.hpp"
#include "poseidon2-core/src/field.hpp"
#include "poseidon2-core/src/permutation.hpp"
#include "tests/support/reference_poseidon2.hpp"

namespace {

using poseidon2::EXTERNAL_ROUNDS;
using poseidon2::INTERNAL_ROUNDS;
using poseidon2::WIDTH;
using poseidon2::folded::QP_FOLD_INIT;
using poseidon2::folded::QP_FOLD_TERM;
using poseidon2::folded::QP_RC_INT_NEXT;
using reference::P;
using reference::State;

using Table = std::uint64_t[EXTERNAL_ROUNDS][WIDTH];

// A folded table next to the table it was folded from.
struct Folding {
    const char* name;
    const Table& fold;
    const Table& table;
};
const Folding FOLDINGS[] = {
    {"QP_FOLD_INIT", QP_FOLD_INIT, poseidon2::QP_RC_EXT_INIT},
    {"QP_FOLD_TERM", QP_FOLD_TERM, poseidon2::QP_RC_EXT_TERM},
};

State row_of(const std::uint64_t (&row)[WIDTH]) {
    State s;
    for (std::size_t i = 0; i < WIDTH; ++i) s[i] = row[i];
    return s;
}

// external_linear_layer step by step as the host defines it: mix4 on each
// chunk of four, then every element plus the sum of its column. Written apart
// from the matrix in reference_poseidon2.hpp so that the two check each other.
State external_layer(const State& x) {
    using reference::add;
    State y;
    for (std::size_t c = 0; c < WIDTH; c += 4) {
        const std::uint64_t t01 = add(x[c], x[c + 1]);
        const std::uint64_t t23 = add(x[c + 2], x[c + 3]);
        const std::uint64_t t0123 = add(t01, t23);
        const std::uint64_t t01123 = add(t0123, x[c + 1]);
        const std::uint64_t t01233 = add(t0123, x[c + 3]);
        y[c + 3] = add(t01233, add(x[c], x[c]));
        y[c + 1] = add(t01123, add(x[c + 2], x[c + 2]));
        y[c] = add(t01123, t01);
        y[c + 2] = add(t01233, t23);
    }
    State out;
    for (std::size_t i = 0; i < WIDTH; ++i) {
        const std::size_t k = i % 4;
        out[i] = add(y[i], add(y[k], add(y[4 + k], y[8 + k])));
    }
    return out;
}

// Random states, words at and above p among them (they stand for word - p).
std::vector<State> random_states(std::size_t n) {
    std::mt19937_64 rng(0x5eedf01d);
    constexpr std::uint64_t EDGES[] = {0, 1, P - 1, P, P + 1, ~0ULL};
    std::vector<State> states;
    for (std::size_t k = 0; k < n; ++k) {
        State s;
        for (std::size_t i = 0; i < WIDTH; ++i) s[i] = rng() % 4 == 0 ? EDGES[rng() % std::size(EDGES)] : rng();
        states.push_back(s);
    }
    return states;
}

// The permutation in the form of the kernels that fold their constants: row 0
// after the first layer, each external round's S-box followed by the next
// round's folded constant, each internal round ending with the next round's
// internal constant on element 0.
State folded_permute(State x) {
    using reference::add;
    using reference::pow7;
    std::uint64_t ext[12][12], inner[12][12];
    reference::external_matrix(ext);
    reference::internal_matrix(inner);

    x = reference::mat_mul(ext, x);
    for (std::size_t i = 0; i < WIDTH; ++i) x[i] = add(x[i], poseidon2::QP_RC_EXT_INIT[0][i]);
    for (const auto& fold : QP_FOLD_INIT) {
        for (std::size_t i = 0; i < WIDTH; ++i) x[i] = add(pow7(x[i]), fold[i]);
        x = reference::mat_mul(ext, x);
    }
    x[0] = add(x[0], poseidon2::QP_RC_INT[0]);
    for (std::uint64_t next : QP_RC_INT_NEXT) {
        x[0] = pow7(x[0]);
        x = reference::mat_mul(inner, x);
        x[0] = add(x[0], next);
    }
    for (std::size_t i = 0; i < WIDTH; ++i) x[i] = add(x[i], poseidon2::QP_RC_EXT_TERM[0][i]);
    for (const auto& fold : QP_FOLD_TERM) {
        for (std::size_t i = 0; i < WIDTH; ++i) x[i] = add(pow7(x[i]), fold[i]);
        x = reference::mat_mul(ext, x);
    }
    return x;
}

}  // namespace

TEST(FoldedConstants, KnownEntries) {
    struct Case {
        const char* what;
        std::uint64_t got;
        std::uint64_t want;
    };
    const Case cases[] = {
        {"QP_FOLD_INIT[0][0]", QP_FOLD_INIT[0][0], 0x3b6c0020f252cbabULL},
        {"QP_FOLD_INIT[0][11]", QP_FOLD_INIT[0][11], 0xabf836e89c15a7beULL},
        {"QP_FOLD_TERM[0][0]", QP_FOLD_TERM[0][0], 0x1e9114c6e9d0f302ULL},
        {"QP_FOLD_TERM[2][11]", QP_FOLD_TERM[2][11], 0xe1b1a60a4e794204ULL},
        {"QP_RC_INT_NEXT[21]", QP_RC_INT_NEXT[21], 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(FoldedConstants, LastRowsAreZero) {
    for (const auto& f : FOLDINGS)
        for (std::size_t i = 0; i < WIDTH; ++i) EXPECT_EQ(f.fold[EXTERNAL_ROUNDS - 1][i], 0u) << f.name << "[3][" << i << "]";
}

TEST(FoldedConstants, InternalConstantsShiftByOneRound) {
    for (std::size_t i = 0; i + 1 < INTERNAL_ROUNDS; ++i)
        EXPECT_EQ(QP_RC_INT_NEXT[i], poseidon2::QP_RC_INT[i + 1]) << "entry " << i;
}

TEST(FoldedConstants, EveryEntryIsCanonical) {
    for (std::size_t i = 0; i < INTERNAL_ROUNDS; ++i) EXPECT_LT(QP_RC_INT_NEXT[i], P) << "QP_RC_INT_NEXT[" << i << "]";
    for (const auto& f : FOLDINGS)
        for (std::size_t r = 0; r < EXTERNAL_ROUNDS; ++r)
            for (std::size_t i = 0; i < WIDTH; ++i) EXPECT_LT(f.fold[r][i], P) << f.name << "[" << r << "][" << i << "]";
}

// M_E * fold row r is the table's row r + 1, through the plain matrix product.
TEST(FoldedConstants, ExternalMatrixTimesFoldRowIsNextRow) {
    std::uint64_t ext[12][12];
    reference::external_matrix(ext);
    for (const auto& f : FOLDINGS)
        for (std::size_t r = 0; r + 1 < EXTERNAL_ROUNDS; ++r)
            EXPECT_EQ(reference::mat_mul(ext, row_of(f.fold[r])), row_of(f.table[r + 1])) << f.name << " row " << r;
}

// The layer followed by constant row r + 1 equals fold row r followed by the
// layer, for any state; the zero row leaves the layer alone.
TEST(FoldedConstants, AddingFoldBeforeLayerEqualsAddingRowAfter) {
    const auto states = random_states(64);
    for (const auto& f : FOLDINGS)
        for (std::size_t r = 0; r < EXTERNAL_ROUNDS; ++r) {
            const State after = r + 1 < EXTERNAL_ROUNDS ? row_of(f.table[r + 1]) : State{};
            for (const State& x : states) {
                State want = external_layer(x);
                for (std::size_t i = 0; i < WIDTH; ++i) want[i] = reference::add(want[i], after[i]);
                State shifted = x;
                for (std::size_t i = 0; i < WIDTH; ++i) shifted[i] = reference::add(shifted[i], f.fold[r][i]);
                ASSERT_EQ(external_layer(shifted), want) << f.name << " row " << r;
            }
        }
}

// Both forms of the layer are one and the same matrix.
TEST(FoldedConstants, LayerStepsMatchExternalMatrix) {
    std::uint64_t ext[12][12];
    reference::external_matrix(ext);
    for (const State& x : random_states(32)) ASSERT_EQ(external_layer(x), reference::mat_mul(ext, x));
}

TEST(FoldedConstants, FoldedPermutationMatchesHostPermutation) {
    for (const State& x : random_states(16)) {
        std::uint64_t host[WIDTH];
        for (std::size_t i = 0; i < WIDTH; ++i) host[i] = x[i];
        poseidon2::poseidon2_permute(host, poseidon2::POSEIDON2_CONSTANTS.data());
        State want;
        for (std::size_t i = 0; i < WIDTH; ++i) want[i] = poseidon2::gl_canonical(host[i]);
        ASSERT_EQ(folded_permute(x), want);
    }
}
