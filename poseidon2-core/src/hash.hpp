// The proof-of-work hash: 96 bytes (32-byte header ‖ 64-byte nonce) to eight
// canonical Goldilocks elements, through five permutations.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "poseidon2-core/src/constants.hpp"

namespace poseidon2 {

inline constexpr const char* POSEIDON2_CORE_VERSION = "3.1.0";

inline constexpr std::size_t INPUT_LEN = 96;
inline constexpr std::size_t HEADER_LEN = 32;
inline constexpr std::size_t NONCE_HALF_LEN = 32;
inline constexpr std::size_t HASH_LEN = 64;

using State = std::array<std::uint64_t, WIDTH>;

void poseidon2_hash_full(std::uint64_t out[8], const std::uint8_t (&input)[INPUT_LEN]);

// The hash as 64 bytes: out[k] little-endian in bytes 8k..8k+7.
std::array<std::uint8_t, HASH_LEN> poseidon2_hash_bytes(const std::uint8_t (&input)[INPUT_LEN]);

// The state after the first two permutations; fixed for one header and one
// nonce high half (nonce bytes 0-31). The GPU starts every nonce from it.
State poseidon2_midstate(const std::uint8_t (&header)[HEADER_LEN],
                         const std::uint8_t (&nonce_high)[NONCE_HALF_LEN]);

// The remaining three permutations from a midstate and the nonce low half
// (nonce bytes 32-63); equals poseidon2_hash_full of the whole input.
void poseidon2_hash_from_midstate(std::uint64_t out[8], const State& midstate,
                                  const std::uint8_t (&nonce_low)[NONCE_HALF_LEN]);

std::array<std::uint8_t, HASH_LEN> hash_words_to_bytes(const std::uint64_t (&out)[8]);

}  // namespace poseidon2
