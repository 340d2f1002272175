// The two implementations behind poseidon2_permute: portable scalar code,
// and AVX2 code that moves the wide multiplications onto the vector units.
// Both compute the same residues; poseidon2_permute picks one at run time.
#pragma once

#include <cstdint>

#include "poseidon2-core/src/constants.hpp"

namespace poseidon2 {

void permute_scalar(std::uint64_t state[WIDTH], const std::uint64_t constants[CONSTANTS_LEN]);

// Only on a CPU with AVX2 (cpu_has_avx2()); x86-64 builds only.
void permute_avx2(std::uint64_t state[WIDTH], const std::uint64_t constants[CONSTANTS_LEN]);

bool cpu_has_avx2();

}  // namespace poseidon2
