// The nonce a GPU counter stands for, and the proof-of-work hash of a header
// and a nonce: what every host re-check of a GPU candidate computes.
#pragma once

#include <cstdint>
#include <span>

#include "src/base/bytes.hpp"

// The 32-byte high half, the first 24 bytes of the low half, then the
// 64-bit counter big-endian (the GPU returns candidates as counters).
Bytes64 mining_nonce(const Bytes32& high, std::span<const std::uint8_t, 24> low24, std::uint64_t counter);

// The 64-byte hash of header ‖ nonce.
Bytes64 pow_hash(const Bytes32& header, const Bytes64& nonce);
