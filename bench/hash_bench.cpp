// Host proof-of-work hash, one 96-byte input per call.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "poseidon2-core/src/hash.hpp"
#include "poseidon2-core/src/permutation_variants.hpp"

static void BM_poseidon2_hash_full(benchmark::State& state) {
    std::uint8_t input[poseidon2::INPUT_LEN];
    for (unsigned i = 0; i < sizeof input; ++i) input[i] = static_cast<std::uint8_t>(i * 37 + 1);
    std::uint64_t out[8];
    for (auto _ : state) {
        poseidon2::poseidon2_hash_full(out, input);
        benchmark::DoNotOptimize(out);
        input[95] = static_cast<std::uint8_t>(out[0]);  // each hash depends on the last
    }
}
BENCHMARK(BM_poseidon2_hash_full);

// One permutation by each implementation; the dispatched hash uses AVX2
// where the CPU has it.
template <void (*Permute)(std::uint64_t*, const std::uint64_t*)>
static void BM_permutation(benchmark::State& state) {
    if (Permute == poseidon2::permute_avx2 && !poseidon2::cpu_has_avx2()) {
        state.SkipWithError("no AVX2 on this CPU");
        return;
    }
    std::uint64_t words[poseidon2::WIDTH] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (auto _ : state) {
        Permute(words, poseidon2::POSEIDON2_CONSTANTS.data());
        benchmark::DoNotOptimize(words);
    }
}
BENCHMARK(BM_permutation<poseidon2::permute_scalar>)->Name("BM_permute_scalar");
BENCHMARK(BM_permutation<poseidon2::permute_avx2>)->Name("BM_permute_avx2");
