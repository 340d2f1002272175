#include "poseidon2-core/src/serialization.hpp"

#include <cstdio>
#include <cstdlib>

namespace poseidon2 {
namespace {

std::uint32_t read_u32_le(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void push_words(Poseidon2Sponge& sponge, const std::uint8_t* bytes, std::size_t len) {
    for (std::size_t i = 0; i + 4 <= len; i += 4) sponge_push(sponge, read_u32_le(bytes + i));
}

void pack_bytes(Poseidon2Sponge& sponge, const std::uint8_t* bytes, std::size_t len) {
    const std::size_t whole = len - len % 4;
    push_words(sponge, bytes, whole);
    if (whole > len) {
        std::fputs("poseidon2: remainder starts beyond the input\n", stderr);
        std::abort();
    }
    std::uint8_t terminator[4] = {0, 0, 0, 0};
    const std::size_t rest = len - whole;
    for (std::size_t i = 0; i < rest; ++i) terminator[i] = bytes[whole + i];
    terminator[rest] = 0x01;
    sponge_push(sponge, read_u32_le(terminator));
}

}  // namespace poseidon2
