// Console lines: each formatted whole and written with one call, so lines of
// different threads never mix.
#pragma once

#include <string_view>

// The line and a line feed on standard output.
void console_out(std::string_view line);

// The line and a line feed on standard error.
void console_err(std::string_view line);
