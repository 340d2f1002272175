#include "src/base/error.hpp"

#include <cstring>

std::string Error::chain() const {
    std::string text = messages_.back();
    for (auto it = messages_.rbegin() + 1; it != messages_.rend(); ++it) {
        text += ": ";
        text += *it;
    }
    return text;
}

std::string os_error_text(int code) { return fmt::format("{} (os error {})", std::strerror(code), code); }
