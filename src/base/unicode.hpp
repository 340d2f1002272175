// UTF-8 text helpers: Unicode White_Space trimming and splitting, validity.
#pragma once

#include <string_view>
#include <vector>

bool is_white_space(char32_t c);

bool is_valid_utf8(std::string_view text);

// Removes leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

// The non-empty runs between White_Space characters.
std::vector<std::string_view> split_white_space(std::string_view text);
