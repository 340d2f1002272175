// A mining job's nonce with its counter: the 64-bit big-endian counter in
// nonce bytes 56-63, and the host hash of the header and the nonce with
// that counter in place.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/bytes.hpp"

inline std::array<std::uint8_t, 64> counter_hash(const Bytes32& header, const Bytes64& nonce, std::uint64_t counter) {
    std::uint8_t in[96];
    std::memcpy(in, header.data(), 32);
    std::memcpy(in + 32, nonce.data(), 56);
    for (int b = 0; b < 8; ++b) in[88 + b] = static_cast<std::uint8_t>(counter >> (56 - 8 * b));
    return poseidon2::poseidon2_hash_bytes(in);
}

inline std::uint64_t nonce_counter(const Bytes64& nonce) {
    std::uint64_t n = 0;
    for (int b = 56; b < 64; ++b) n = n << 8 | nonce[b];
    return n;
}
