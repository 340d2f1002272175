// Hex literals to byte arrays for test fixtures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "src/base/hex.hpp"

template <std::size_t N>
std::array<std::uint8_t, N> hex_bytes(std::string_view text) {
    auto bytes = hex_decode_array<N>(text);
    if (!bytes) throw std::invalid_argument("bad hex fixture");
    return *bytes;
}
