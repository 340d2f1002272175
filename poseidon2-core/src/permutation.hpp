// The width-12 Poseidon2 permutation: 4 external rounds, 22 internal rounds,
// 4 external rounds, x^7 S-box, over the Goldilocks field.
#pragma once

#include <cstdint>

#include "poseidon2-core/src/constants.hpp"

namespace poseidon2 {

// Transforms `state` in place. `constants` is the 130-word table laid out as
// POSEIDON2_CONSTANTS. Inputs need not be canonical; outputs are not.
void poseidon2_permute(std::uint64_t state[WIDTH], const std::uint64_t constants[CONSTANTS_LEN]);

}  // namespace poseidon2
