// The number forms the command line accepts: decimal integers with an
// optional sign, and decimal floating point. A failure is one fixed text
// per reason ("invalid digit found in string", "number too large to fit
// in target type", "invalid float literal" …).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "" when `text` is a decimal integer within [min, max], else the reason.
std::string check_decimal_integer(std::string_view text, std::int64_t min, std::uint64_t max);

// Parses a text accepted by check_decimal_integer.
std::int64_t parse_decimal_integer(std::string_view text);

// "" when `text` is a decimal floating-point number, "inf" or "nan".
std::string check_decimal_float(std::string_view text);
