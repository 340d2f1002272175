// The stand-ins' settings come from environment variables that hold lists:
// entries separated by ';', fields separated by ',', with blanks around a
// field allowed.
#pragma once

#include <cstddef>
#include <string_view>

namespace sim {

// The first entry of `rest`, taken off its front with its ';'.
inline std::string_view take_entry(std::string_view& rest) {
    const std::size_t semicolon = rest.find(';');
    const std::string_view entry = rest.substr(0, semicolon);
    rest = semicolon == std::string_view::npos ? std::string_view{} : rest.substr(semicolon + 1);
    return entry;
}

// `text` without the leading and trailing characters found in `blanks`.
inline std::string_view trim(std::string_view text, std::string_view blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace sim
