// Host proof-of-work hash, one 96-byte input per call.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "poseidon2-core/src/hash.hpp"

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
