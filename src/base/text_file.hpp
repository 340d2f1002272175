// Reading a whole file as UTF-8 text, with the error texts a user sees:
// "No such file or directory (os error 2)", "stream did not contain valid UTF-8".
#pragma once

#include <string>

#include "src/base/error.hpp"

Result<std::string> read_text_file(const std::string& path);
