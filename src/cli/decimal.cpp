#include "src/cli/decimal.hpp"

#include <algorithm>
#include <cctype>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::string check_decimal_integer(std::string_view text, std::int64_t min, std::uint64_t max) {
    if (text.empty()) return "cannot parse integer from empty string";
    bool negative = false;
    std::string_view digits = text;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
        if (digits.empty()) return "invalid digit found in string";
        if (negative && min >= 0) return "invalid digit found in string";
    }
    // Magnitude, saturated just above any bound we check.
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (char c : digits) {
        if (!is_digit(c)) return "invalid digit found in string";
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (UINT64_MAX - digit) / 10)
            overflow = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        const std::uint64_t limit = static_cast<std::uint64_t>(-(min + 1)) + 1;  // |min| without overflow
        if (overflow || magnitude > limit) return "number too small to fit in target type";
    } else if (overflow || magnitude > max) {
        return "number too large to fit in target type";
    }
    return "";
}

std::int64_t parse_decimal_integer(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    std::uint64_t magnitude = 0;
    for (char c : text) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

std::string check_decimal_float(std::string_view text) {
    std::string_view rest = text;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) rest.remove_prefix(1);
    for (std::string_view word : {"inf", "infinity", "nan"})
        if (equals_ignoring_case(rest, word)) return "";
    std::size_t i = 0;
    std::size_t mantissa_digits = 0;
    while (i < rest.size() && is_digit(rest[i])) ++i, ++mantissa_digits;
    if (i < rest.size() && rest[i] == '.') {
        ++i;
        while (i < rest.size() && is_digit(rest[i])) ++i, ++mantissa_digits;
    }
    if (mantissa_digits == 0) return "invalid float literal";
    if (i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
        ++i;
        if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < rest.size() && is_digit(rest[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return "invalid float literal";
    }
    return i == rest.size() ? "" : "invalid float literal";
}
