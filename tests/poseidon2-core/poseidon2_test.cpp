#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>
#include <random>

#include "poseidon2-core/src/field.hpp"
#include "poseidon2-core/src/hash.hpp"
#include "poseidon2-core/src/permutation.hpp"
#include "poseidon2-core/src/permutation_variants.hpp"
#include "src/base/hex.hpp"
#include "tests/support/reference_poseidon2.hpp"
#include "tests/support/test_bytes.hpp"

using namespace poseidon2;

namespace {

constexpr std::uint64_t P = GOLDILOCKS_P;
constexpr std::uint64_t MAX = ~0ULL;

constexpr std::string_view HEADER = "ad763674ec79cfea8b8e1503fd9e1fffb8754f196def1adebde4133f2d7d37f5";

struct Oracle {
    std::string_view nonce;
    std::string_view hash;
};

// The two known answers the table is built around: its first line and its
// smallest hash.
constexpr Oracle ORACLES[] = {
    {"5aeced52f609b3205ec2b9acbbd20d75b9ec5fd926121026a679afc6e3c8174500000000000000000000000000000000d8f30b16630d2b730000000000000000",
     "9dc3c76301db19074880cf57a9b0fea367de226a8b6a740ce1a0a228c8bdaa9a765a7068a32e199bdc688cfbb95a28f33abdaad8664afd51706ad3bf333aa791"},
    {"5aeced52f609b3205ec2b9acbbd20d75b9ec5fd926121026a679afc6e3c81745000000000000000000000000000000007cb55851166c4e78a521375d57e9a728",
     "0001872bf7055af3c5f7c34b17ce9f8b381b3d95d734f4cd0127ea9222ecb3a73092d20db1afe5b163359deb9ddae37e522e0da66510769b46f347351307e1ad"},
};

void make_input(std::uint8_t (&input)[INPUT_LEN], std::string_view nonce_hex) {
    const auto header = hex_bytes<32>(HEADER);
    const auto nonce = hex_bytes<64>(nonce_hex);
    std::memcpy(input, header.data(), 32);
    std::memcpy(input + 32, nonce.data(), 64);
}

reference::State canonical(const std::uint64_t (&state)[WIDTH]) {
    reference::State out;
    for (std::size_t i = 0; i < WIDTH; ++i) out[i] = gl_canonical(state[i]);
    return out;
}

}  // namespace

TEST(GoldilocksField, EdgeCases) {
    struct Case {
        const char* what;
        std::uint64_t got;
        std::uint64_t want;
    };
    const Case cases[] = {
        {"mul(p-1, p-1) stays non-canonical", gl_mul(P - 1, P - 1), 0xffffffff00000002ULL},
        {"canonical(mul(p-1, p-1)) is 1", gl_canonical(gl_mul(P - 1, P - 1)), 1},
        {"mul(p, p) yields p", gl_mul(P, P), P},
        {"canonical(p) is 0", gl_canonical(P), 0},
        {"canonical(p-1) is p-1", gl_canonical(P - 1), P - 1},
        {"canonical(2^64-1) is 2^32-2", gl_canonical(MAX), 0xfffffffeULL},
        {"add of two words above p", gl_canonical(gl_add(MAX, MAX)), (2 * 0xfffffffeULL) % P},
        {"add(p, p) stands for 0", gl_canonical(gl_add(P, P)), 0},
        {"add wrapping twice", gl_canonical(gl_add(MAX, P + 5)), 0xfffffffeULL + 5},
        {"reduce128 of 2^64 is epsilon", gl_reduce128(static_cast<u128>(1) << 64), EPSILON},
        {"reduce128 of 2^96 is -1", gl_canonical(gl_reduce128(static_cast<u128>(1) << 96)), P - 1},
        {"reduce128 of 2^128-1", gl_canonical(gl_reduce128(~static_cast<u128>(0))),
         static_cast<std::uint64_t>(~static_cast<u128>(0) % P)},
        {"sbox7 of 2", gl_canonical(sbox7(2)), 128},
        {"sbox7 of p-1 is -1", gl_canonical(sbox7(P - 1)), P - 1},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(GoldilocksField, RandomOperandsAreCongruentToExactArithmetic) {
    std::mt19937_64 rng(7);
    const std::uint64_t special[] = {0, 1, EPSILON, P - 1, P, P + 1, MAX - 1, MAX, 1ULL << 63};
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t a = i < 81 ? special[i / 9] : rng();
        const std::uint64_t b = i < 81 ? special[i % 9] : rng();
        ASSERT_EQ(gl_canonical(gl_add(a, b)), reference::add(a, b)) << a << " + " << b;
        ASSERT_EQ(gl_canonical(gl_mul(a, b)), reference::mul(a, b)) << a << " * " << b;
    }
}

struct Implementation {
    const char* name;
    void (*permute)(std::uint64_t*, const std::uint64_t*);
    bool available;
};

const Implementation IMPLEMENTATIONS[] = {
    {"scalar", permute_scalar, true},
    {"avx2", permute_avx2, cpu_has_avx2()},
    {"dispatched", poseidon2_permute, true},
};

// States that push every carry and fold: words at and around p, 2^64 − 1,
// 2^63, runs of equal words, then random ones.
std::vector<reference::State> permutation_inputs() {
    const std::uint64_t edges[] = {0, 1, EPSILON, P - 1, P, P + 1, MAX - 1, MAX, 1ULL << 63, 1ULL << 32};
    std::vector<reference::State> inputs;
    for (std::uint64_t e : edges) inputs.push_back([&] { reference::State s; s.fill(e); return s; }());
    std::mt19937_64 rng(11);
    for (int n = 0; n < 100; ++n) {
        reference::State s;
        for (auto& x : s) x = n < 50 ? edges[rng() % std::size(edges)] : rng();
        inputs.push_back(s);
    }
    return inputs;
}

TEST(Poseidon2Permutation, EveryImplementationMatchesTheTextbookDefinition) {
    const auto inputs = permutation_inputs();
    for (const Implementation& impl : IMPLEMENTATIONS) {
        if (!impl.available) {
            std::printf("skipping %s: not supported by this CPU\n", impl.name);
            continue;
        }
        for (std::size_t n = 0; n < inputs.size(); ++n) {
            reference::State expected;
            for (std::size_t i = 0; i < WIDTH; ++i) expected[i] = inputs[n][i] % reference::P;
            expected = reference::permute(expected);
            std::uint64_t state[WIDTH];
            std::copy(inputs[n].begin(), inputs[n].end(), state);
            impl.permute(state, POSEIDON2_CONSTANTS.data());
            ASSERT_EQ(canonical(state), expected) << impl.name << ", input " << n;
        }
    }
}

TEST(Poseidon2Permutation, NonCanonicalInputsActAsTheirResidues) {
    std::uint64_t raw[WIDTH], residues[WIDTH];
    for (std::size_t i = 0; i < WIDTH; ++i) {
        raw[i] = i % 2 ? MAX - i : P + i;  // every word >= p
        residues[i] = gl_canonical(raw[i]);
    }
    poseidon2_permute(raw, POSEIDON2_CONSTANTS.data());
    poseidon2_permute(residues, POSEIDON2_CONSTANTS.data());
    EXPECT_EQ(canonical(raw), canonical(residues));
}

TEST(Poseidon2Hash, ReproducesKnownAnswers) {
    for (const Oracle& oracle : ORACLES) {
        std::uint8_t input[INPUT_LEN];
        make_input(input, oracle.nonce);
        EXPECT_EQ(hex_encode(poseidon2_hash_bytes(input)), oracle.hash) << oracle.nonce;
    }
    std::uint8_t input[INPUT_LEN];
    make_input(input, ORACLES[0].nonce);
    std::uint64_t out[8];
    poseidon2_hash_full(out, input);
    EXPECT_EQ(out[0], 0x0719db0163c7c39dULL);
}

TEST(Poseidon2Hash, OutputWordsAreCanonical) {
    std::mt19937_64 rng(3);
    for (int i = 0; i < 2000; ++i) {
        std::uint8_t input[INPUT_LEN];
        for (auto& b : input) b = static_cast<std::uint8_t>(rng());
        std::uint64_t out[8];
        poseidon2_hash_full(out, input);
        for (std::uint64_t w : out) ASSERT_LT(w, P);
    }
}

TEST(Poseidon2Midstate, DependsOnlyOnHeaderAndNonceHighHalf) {
    std::uint8_t a[INPUT_LEN], b[INPUT_LEN];
    make_input(a, ORACLES[0].nonce);
    make_input(b, ORACLES[1].nonce);  // same header and high half, other low half
    std::uint8_t header[HEADER_LEN], high[NONCE_HALF_LEN], low_a[NONCE_HALF_LEN], low_b[NONCE_HALF_LEN];
    std::memcpy(header, a, 32);
    std::memcpy(high, a + 32, 32);
    std::memcpy(low_a, a + 64, 32);
    std::memcpy(low_b, b + 64, 32);
    ASSERT_EQ(std::memcmp(high, b + 32, 32), 0);

    const State midstate = poseidon2_midstate(header, high);
    std::uint64_t from_mid[8], full[8];
    for (auto [input, low] : {std::pair{&a, &low_a}, std::pair{&b, &low_b}}) {
        poseidon2_hash_from_midstate(from_mid, midstate, *low);
        poseidon2_hash_full(full, *input);
        EXPECT_EQ(std::memcmp(from_mid, full, sizeof full), 0);
    }

    high[0] ^= 1;
    EXPECT_NE(poseidon2_midstate(header, high), midstate);
}
