// Fixed-size byte strings: headers and nonce halves (32), nonces, hashes and
// targets (64).
#pragma once

#include <array>
#include <cstdint>

using Bytes32 = std::array<std::uint8_t, 32>;
using Bytes64 = std::array<std::uint8_t, 64>;
