#include "src/ui/console.hpp"

#include <cstdio>
#include <string>

namespace {

void write_line(std::FILE* stream, std::string_view line) {
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

void console_out(std::string_view line) { write_line(stdout, line); }

void console_err(std::string_view line) { write_line(stderr, line); }

const LineOutput& console_lines() {
    static const LineOutput lines{console_out, console_err};
    return lines;
}
