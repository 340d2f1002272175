// UTF-8 text helpers: Unicode White_Space trimming and splitting, validity.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

bool is_white_space(char32_t c);

bool is_valid_utf8(std::string_view text);

// The scalar value whose encoding starts at text[pos], and the encoding's
// length; a length of 0 means an ill-formed sequence starts there.
struct Utf8Scalar {
    char32_t code_point;
    std::size_t length;
};
Utf8Scalar utf8_decode_at(std::string_view text, std::size_t pos);

// Removes leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD, one per
// maximal ill-formed subpart (the usual "lossy" decoding).
std::string utf8_lossy(std::string_view bytes);

// The first `count` Unicode scalar values of a well-formed UTF-8 text.
std::string_view first_scalar_values(std::string_view text, std::size_t count);

// The non-empty runs between White_Space characters.
std::vector<std::string_view> split_white_space(std::string_view text);
