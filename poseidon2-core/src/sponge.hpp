// The sponge record of the proof-of-work hash: rate 8, capacity 4.
#pragma once

#include <cstddef>
#include <cstdint>

#include "poseidon2-core/src/constants.hpp"

namespace poseidon2 {

inline constexpr std::size_t RATE = 8;

// Lives on the caller's stack for one hash; never allocated.
struct Poseidon2Sponge {
    std::uint64_t buffer[RATE];   // rate elements still to be added into the state
    std::uint64_t state[WIDTH];   // 0-7 rate, 8-11 capacity
    std::uint64_t constants[CONSTANTS_LEN];
    std::size_t count;            // elements in buffer, 0 to 7 between operations
};

// Zeroed buffer and state, the constant table copied in.
void sponge_init(Poseidon2Sponge& sponge);

void sponge_push(Poseidon2Sponge& sponge, std::uint64_t element);

// Adds the buffer into the rate, permutes, and empties the buffer.
void sponge_absorb(Poseidon2Sponge& sponge);

// Pushes the element 1, pads with 0 up to a full block, then writes the
// canonical rate words 0-3 of two consecutive states into out[0..3] and
// out[4..7].
void sponge_squeeze(Poseidon2Sponge& sponge, std::uint64_t out[8]);

// Zeroes state and buffer in a way the optimiser may not drop.
void sponge_wipe(Poseidon2Sponge& sponge);

}  // namespace poseidon2
