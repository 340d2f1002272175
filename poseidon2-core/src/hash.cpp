#include "poseidon2-core/src/hash.hpp"

#include <algorithm>

#include "poseidon2-core/src/serialization.hpp"
#include "poseidon2-core/src/sponge.hpp"

namespace poseidon2 {

void poseidon2_hash_full(std::uint64_t out[8], const std::uint8_t (&input)[INPUT_LEN]) {
    Poseidon2Sponge sponge;
    sponge_init(sponge);
    pack_bytes(sponge, input, INPUT_LEN);
    sponge_squeeze(sponge, out);
    sponge_wipe(sponge);
}

std::array<std::uint8_t, HASH_LEN> poseidon2_hash_bytes(const std::uint8_t (&input)[INPUT_LEN]) {
    std::uint64_t out[8];
    poseidon2_hash_full(out, input);
    return hash_words_to_bytes(out);
}

State poseidon2_midstate(const std::uint8_t (&header)[HEADER_LEN],
                         const std::uint8_t (&nonce_high)[NONCE_HALF_LEN]) {
    Poseidon2Sponge sponge;
    sponge_init(sponge);
    push_words(sponge, header, HEADER_LEN);
    push_words(sponge, nonce_high, NONCE_HALF_LEN);
    State midstate;
    std::copy(std::begin(sponge.state), std::end(sponge.state), midstate.begin());
    sponge_wipe(sponge);
    return midstate;
}

void poseidon2_hash_from_midstate(std::uint64_t out[8], const State& midstate,
                                  const std::uint8_t (&nonce_low)[NONCE_HALF_LEN]) {
    Poseidon2Sponge sponge;
    sponge_init(sponge);
    std::copy(midstate.begin(), midstate.end(), sponge.state);
    pack_bytes(sponge, nonce_low, NONCE_HALF_LEN);
    sponge_squeeze(sponge, out);
    sponge_wipe(sponge);
}

std::array<std::uint8_t, HASH_LEN> hash_words_to_bytes(const std::uint64_t (&out)[8]) {
    std::array<std::uint8_t, HASH_LEN> bytes{};
    for (std::size_t k = 0; k < 8; ++k)
        for (std::size_t b = 0; b < 8; ++b) bytes[8 * k + b] = static_cast<std::uint8_t>(out[k] >> (8 * b));
    return bytes;
}

}  // namespace poseidon2
