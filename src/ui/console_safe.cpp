#include "src/ui/console_safe.hpp"

#include <fmt/format.h>

#include "src/base/unicode.hpp"

namespace {

bool is_c0_or_del(char32_t c) { return c < 0x20 || c == 0x7f; }

bool is_c1_or_bidi_control(char32_t c) {
    return (c >= 0x80 && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string console_safe(std::string_view pool_text) {
    const std::string text = utf8_lossy(pool_text);
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const Utf8Scalar scalar = utf8_decode_at(text, pos);  // well formed after the repair
        if (is_c0_or_del(scalar.code_point))
            fmt::format_to(std::back_inserter(shown), "\\x{:02x}", static_cast<unsigned>(scalar.code_point));
        else if (is_c1_or_bidi_control(scalar.code_point))
            fmt::format_to(std::back_inserter(shown), "\\u{:04x}", static_cast<unsigned>(scalar.code_point));
        else
            shown.append(text, pos, scalar.length);
        pos += scalar.length;
    }
    return shown;
}

std::string pool_text_cut(std::string_view pool_text, std::size_t shown_chars) {
    // No character takes more than 4 bytes: a head of this length that is
    // not the whole text holds more characters than are shown.
    const std::string head = utf8_lossy(pool_text.substr(0, 4 * shown_chars + 1));
    const std::string_view shown = first_scalar_values(head, shown_chars);
    if (shown.size() == head.size()) return head;
    return fmt::format("{}…[{} bytes in all]", shown, pool_text.size());
}

std::string console_safe_cut(std::string_view pool_text) { return console_safe(pool_text_cut(pool_text)); }
