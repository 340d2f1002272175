// Fixed-size byte strings: headers and nonce halves (32), nonces, hashes and
// targets (64).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

using Bytes32 = std::array<std::uint8_t, 32>;
using Bytes64 = std::array<std::uint8_t, 64>;

// Whether every byte is 0xFF: a hash that no number of its width exceeds,
// so no target lies just above it.
inline bool all_ff(std::span<const std::uint8_t> bytes) {
    return std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0xff; });
}
