// Bytes to field elements: little-endian 32-bit words, zero-extended.
#pragma once

#include <cstddef>
#include <cstdint>

#include "poseidon2-core/src/sponge.hpp"

namespace poseidon2 {

// Pushes `len` bytes (a multiple of 4) as little-endian 32-bit words.
void push_words(Poseidon2Sponge& sponge, const std::uint8_t* bytes, std::size_t len);

// Pushes every whole word of the input, then the terminator element: the 0 to
// 3 bytes left over followed by the byte 0x01, read as a little-endian word.
void pack_bytes(Poseidon2Sponge& sponge, const std::uint8_t* bytes, std::size_t len);

}  // namespace poseidon2
