// Reading a whole file as UTF-8 text, with the error texts a user sees:
// "No such file or directory (os error 2)", "stream did not contain valid UTF-8".
#pragma once

#include <cstddef>
#include <string>

#include "src/base/error.hpp"

Result<std::string> read_text_file(const std::string& path);

// The same for a file the program keeps for itself, where whatever else
// stands at the path must cost nothing: only a regular file (a link to one
// is followed) of at most `max_bytes` is read. Opening never blocks, so a
// FIFO or a device fails at once ("not a regular file"), and a larger file
// is refused without being read ("larger than {} bytes").
Result<std::string> read_regular_text_file(const std::string& path, std::size_t max_bytes);
