#include "src/ui/masked_url.hpp"

#include <algorithm>

namespace {

// Where the authority starts: after "scheme://" when the URL begins with a
// scheme, else at the start (libcurl takes "user:pw@host" as HTTP too).
std::size_t authority_start(std::string_view url) {
    const std::size_t separator = url.find("://");
    if (separator == std::string_view::npos || url.substr(0, separator).find_first_of("/?#@") != std::string_view::npos)
        return 0;
    return separator + 3;
}

}  // namespace

std::string masked_url(std::string_view url) {
    const std::size_t start = authority_start(url);
    const std::string_view authority = url.substr(start, std::min(url.find_first_of("/?#", start), url.size()) - start);
    const std::size_t at = authority.rfind('@');
    if (at == std::string_view::npos) return std::string(url);
    const std::size_t colon = authority.find(':');
    if (colon > at) return std::string(url);  // a user without a password
    return std::string(url.substr(0, start + colon + 1)) + "***" + std::string(url.substr(start + at));
}
