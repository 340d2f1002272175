#include "src/base/unicode.hpp"

#include <cstddef>
#include <cstdint>

namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;  // 0 for an ill-formed sequence
};

// Decodes the sequence starting at text[pos]; rejects overlong forms,
// surrogates and values above U+10FFFF.
Decoded decode_at(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<std::uint8_t>(text[pos]);
    if (lead < 0x80) return {lead, 1};
    std::size_t length;
    char32_t c;
    char32_t min;
    if ((lead & 0xe0) == 0xc0) {
        length = 2, c = lead & 0x1f, min = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, c = lead & 0x0f, min = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4, c = lead & 0x07, min = 0x10000;
    } else {
        return {0, 0};
    }
    if (pos + length > text.size()) return {0, 0};
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<std::uint8_t>(text[pos + i]);
        if ((next & 0xc0) != 0x80) return {0, 0};
        c = c << 6 | (next & 0x3f);
    }
    if (c < min || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return {0, 0};
    return {c, length};
}

// Length of the White_Space character starting at pos, or 0.
std::size_t white_space_at(std::string_view text, std::size_t pos) {
    const Decoded d = decode_at(text, pos);
    return d.length != 0 && is_white_space(d.code_point) ? d.length : 0;
}

// Length of the White_Space character ending right before `end`, or 0.
std::size_t white_space_before(std::string_view text, std::size_t end) {
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        const std::size_t start = end - length;
        if ((static_cast<std::uint8_t>(text[start]) & 0xc0) == 0x80) continue;  // continuation byte
        const Decoded d = decode_at(text, start);
        return d.length == length && is_white_space(d.code_point) ? length : 0;
    }
    return 0;
}

// Length of the maximal ill-formed subpart at pos: the lead byte and the
// continuation bytes that could still have completed it.
std::size_t ill_formed_length(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<std::uint8_t>(text[pos]);
    std::size_t needed;
    std::uint8_t lo = 0x80, hi = 0xbf;  // allowed range of the first continuation byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        needed = 1;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        needed = 2;
        if (lead == 0xe0) lo = 0xa0;
        if (lead == 0xed) hi = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        needed = 3;
        if (lead == 0xf0) lo = 0x90;
        if (lead == 0xf4) hi = 0x8f;
    } else {
        return 1;
    }
    std::size_t length = 1;
    for (std::size_t i = 0; i < needed && pos + length < text.size(); ++i) {
        const auto next = static_cast<std::uint8_t>(text[pos + length]);
        if (next < (i == 0 ? lo : 0x80) || next > (i == 0 ? hi : 0xbf)) break;
        ++length;
    }
    return length;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        const std::size_t length = decode_at(bytes, pos).length;
        if (length != 0) {
            text.append(bytes.substr(pos, length));
            pos += length;
        } else {
            text += "\xef\xbf\xbd";
            pos += ill_formed_length(bytes, pos);
        }
    }
    return text;
}

std::string_view first_scalar_values(std::string_view text, std::size_t count) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < count && pos < text.size(); ++n) {
        const std::size_t length = decode_at(text, pos).length;
        pos += length == 0 ? 1 : length;
    }
    return text.substr(0, pos);
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

Utf8Scalar utf8_decode_at(std::string_view text, std::size_t pos) {
    const Decoded d = decode_at(text, pos);
    return {d.code_point, d.length};
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = decode_at(text, pos).length;
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t length = white_space_at(text, begin);
        if (length == 0) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t length = white_space_before(text, end);
        if (length == 0) break;
        end -= length;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_white_space(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t field_start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t space = white_space_at(text, pos);
        if (space == 0) {
            const std::size_t length = decode_at(text, pos).length;
            pos += length == 0 ? 1 : length;
            continue;
        }
        if (pos > field_start) fields.push_back(text.substr(field_start, pos - field_start));
        pos += space;
        field_start = pos;
    }
    if (pos > field_start) fields.push_back(text.substr(field_start, pos - field_start));
    return fields;
}
