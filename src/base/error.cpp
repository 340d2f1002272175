#include "src/base/error.hpp"

std::string Error::chain() const {
    std::string text = messages_.back();
    for (auto it = messages_.rbegin() + 1; it != messages_.rend(); ++it) {
        text += ": ";
        text += *it;
    }
    return text;
}
