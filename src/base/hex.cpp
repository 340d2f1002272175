#include "src/base/hex.hpp"

#include <fmt/format.h>

namespace {

int digit_value(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Characters a debug print escapes as \u{..}: control characters, and the
// format, separator and space characters other than the plain blank. Only
// the first 256 code points matter here (the decoder reports single bytes).
bool is_invisible(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0xa0) || c == 0xad || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200f) || (c >= 0x2028 && c <= 0x202f) ||
           (c >= 0x205f && c <= 0x2064) || c == 0x3000 || c == 0xfeff;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

// The decoder looks at bytes: a byte that is no digit is reported as the
// character with that code point, at its byte position.
Error invalid_character(std::uint8_t byte, std::size_t position) {
    return Error(fmt::format("Invalid character {} at position {}", quote_char(byte), position));
}

// Checks every digit before writing any byte, so a failure leaves `out` as it was.
Result<void> decode_digits(std::string_view text, std::uint8_t* out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (digit_value(byte) < 0) return std::unexpected(invalid_character(byte, i));
    }
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out[i / 2] = static_cast<std::uint8_t>(digit_value(static_cast<std::uint8_t>(text[i])) << 4 |
                                               digit_value(static_cast<std::uint8_t>(text[i + 1])));
    return {};
}

}  // namespace

std::string quote_char(char32_t c) {
    std::string out = "'";
    switch (c) {
        case U'\0': out += "\\0"; break;
        case U'\t': out += "\\t"; break;
        case U'\r': out += "\\r"; break;
        case U'\n': out += "\\n"; break;
        case U'\'': out += "\\'"; break;
        case U'\\': out += "\\\\"; break;
        default:
            if (is_invisible(c))
                out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
            else
                append_utf8(out, c);
    }
    out += '\'';
    return out;
}

std::string hex_encode(std::span<const std::uint8_t> bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text(bytes.size() * 2, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = DIGITS[bytes[i] >> 4];
        text[2 * i + 1] = DIGITS[bytes[i] & 0x0f];
    }
    return text;
}

Result<std::vector<std::uint8_t>> hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) return fail("Odd number of digits");
    std::vector<std::uint8_t> bytes(text.size() / 2);
    if (auto decoded = decode_digits(text, bytes.data()); !decoded) return std::unexpected(decoded.error());
    return bytes;
}

Result<void> hex_decode_into(std::string_view text, std::span<std::uint8_t> out) {
    if (text.size() % 2 != 0) return fail("Odd number of digits");
    if (text.size() / 2 != out.size()) return fail("Invalid string length");
    return decode_digits(text, out.data());
}
