#include "src/pow/nonce.hpp"

#include <algorithm>
#include <cstring>

#include "poseidon2-core/src/hash.hpp"

Bytes64 mining_nonce(const Bytes32& high, std::span<const std::uint8_t, 24> low24, std::uint64_t counter) {
    Bytes64 nonce;
    std::ranges::copy(high, nonce.begin());
    std::ranges::copy(low24, nonce.begin() + 32);
    for (int b = 0; b < 8; ++b) nonce[56 + b] = static_cast<std::uint8_t>(counter >> (56 - 8 * b));
    return nonce;
}

Bytes64 pow_hash(const Bytes32& header, const Bytes64& nonce) {
    std::uint8_t input[96];
    std::memcpy(input, header.data(), 32);
    std::memcpy(input + 32, nonce.data(), 64);
    return poseidon2::poseidon2_hash_bytes(input);
}
