#include "poseidon2-core/src/sponge.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "poseidon2-core/src/field.hpp"
#include "poseidon2-core/src/permutation.hpp"

namespace poseidon2 {

void sponge_init(Poseidon2Sponge& sponge) {
    std::memset(sponge.buffer, 0, sizeof sponge.buffer);
    std::memset(sponge.state, 0, sizeof sponge.state);
    std::memcpy(sponge.constants, POSEIDON2_CONSTANTS.data(), sizeof sponge.constants);
    sponge.count = 0;
}

void sponge_push(Poseidon2Sponge& sponge, std::uint64_t element) {
    if (sponge.count >= RATE) {
        std::fputs("poseidon2: sponge buffer index out of range\n", stderr);
        std::abort();
    }
    sponge.buffer[sponge.count++] = element;
    if (sponge.count == RATE) sponge_absorb(sponge);
}

void sponge_absorb(Poseidon2Sponge& sponge) {
    for (std::size_t j = 0; j < RATE; ++j) sponge.state[j] = gl_add(sponge.state[j], sponge.buffer[j]);
    poseidon2_permute(sponge.state, sponge.constants);
    std::memset(sponge.buffer, 0, sizeof sponge.buffer);
    sponge.count = 0;
}

void sponge_squeeze(Poseidon2Sponge& sponge, std::uint64_t out[8]) {
    sponge_push(sponge, 1);
    while (sponge.count != 0) sponge_push(sponge, 0);
    for (std::size_t i = 0; i < 4; ++i) out[i] = gl_canonical(sponge.state[i]);
    poseidon2_permute(sponge.state, sponge.constants);
    for (std::size_t i = 0; i < 4; ++i) out[4 + i] = gl_canonical(sponge.state[i]);
}

void sponge_wipe(Poseidon2Sponge& sponge) {
    std::memset(sponge.state, 0, sizeof sponge.state);
    std::memset(sponge.buffer, 0, sizeof sponge.buffer);
    // Hand the zeroed region to an opaque consumer so the stores stay.
    void* region = &sponge;
    asm volatile("" : : "r"(region) : "memory");
}

}  // namespace poseidon2
