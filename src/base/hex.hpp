// Hexadecimal text: lower-case encoding; decoding with the decoder's own
// error texts ("Odd number of digits", "Invalid character 'g' at position 5").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/base/error.hpp"

std::string hex_encode(std::span<const std::uint8_t> bytes);

Result<std::vector<std::uint8_t>> hex_decode(std::string_view text);

// Decodes into exactly out.size() bytes; a text of another even length fails
// with "Invalid string length".
Result<void> hex_decode_into(std::string_view text, std::span<std::uint8_t> out);

template <std::size_t N>
Result<std::array<std::uint8_t, N>> hex_decode_array(std::string_view text) {
    std::array<std::uint8_t, N> bytes{};
    if (auto decoded = hex_decode_into(text, bytes); !decoded) return std::unexpected(decoded.error());
    return bytes;
}

// A character the way a debug print shows it: in single quotes, with escapes
// for quotes, backslashes, control and invisible characters ('\n', '\u{a0}').
std::string quote_char(char32_t c);
