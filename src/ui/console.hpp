// Console lines: each formatted whole and written with one call, so lines of
// different threads never mix.
#pragma once

#include <functional>
#include <string_view>

// The line and a line feed on standard output.
void console_out(std::string_view line);

// The line and a line feed on standard error.
void console_err(std::string_view line);

// Where a component's lines go: standard output and standard error by
// default, a collector in the tests.
struct LineOutput {
    std::function<void(std::string_view)> out;
    std::function<void(std::string_view)> err;
};

// console_out and console_err.
const LineOutput& console_lines();
