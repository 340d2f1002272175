#include "src/pool/masked_url.hpp"

#include <memory>
#include <optional>

#include <curl/curl.h>

namespace {

constexpr std::string_view MASK = "***";

// The user and password exactly as they are written in the URL (not
// decoded): the text to find again in it.
struct Login {
    std::string user, password;
};

struct UrlHandleFree {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

std::optional<std::string> url_part(CURLU* handle, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(handle, part, &text, 0) != CURLUE_OK) return std::nullopt;
    std::string copy(text);
    curl_free(text);
    return copy;
}

enum class Parse { refused, no_password, login };

// The URL read with the flags libcurl 7.88 itself reads CURLOPT_URL with: a
// URL without a scheme has one guessed (HTTP, unless its host names another)
// and any scheme is parsed, whether or not it may then be used.
Parse parse_login(std::string_view url, Login& login) {
    const std::unique_ptr<CURLU, UrlHandleFree> handle(curl_url());
    if (!handle) return Parse::refused;
    const std::string text(url);
    if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK)
        return Parse::refused;
    std::optional<std::string> password = url_part(handle.get(), CURLUPART_PASSWORD);
    if (!password) return Parse::no_password;
    login = {url_part(handle.get(), CURLUPART_USER).value_or(""), std::move(*password)};
    return Parse::login;
}

// Where the part after "scheme:" and its slashes begins, or 0 when the URL
// does not begin that way.
std::size_t after_scheme_and_slashes(std::string_view url) {
    std::size_t i = 0;
    const auto is_alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    if (url.empty() || !is_alpha(url[0])) return 0;
    while (i < url.size() && (is_alpha(url[i]) || is_digit(url[i]) || url[i] == '+' || url[i] == '-' || url[i] == '.'))
        ++i;
    if (i >= url.size() || url[i] != ':' || i + 1 >= url.size() || url[i + 1] != '/') return 0;
    ++i;
    while (i < url.size() && url[i] == '/') ++i;
    return i;
}

std::string with_mask(std::string_view url, std::size_t from, std::size_t to) {
    return std::string(url.substr(0, from)) + std::string(MASK) + std::string(url.substr(to));
}

// The login as libcurl read it opens the authority: after the scheme and
// its slashes, or at the very start when there is no "scheme:/" (then the
// scheme was guessed, and "http:u:p@h" is the user "http" with the
// password "u:p").
std::optional<std::string> mask_parsed(std::string_view url, const Login& login) {
    const std::size_t start = after_scheme_and_slashes(url);
    if (!url.substr(start).starts_with(login.user + ":" + login.password + "@")) return std::nullopt;
    const std::size_t password_at = start + login.user.size() + 1;
    return with_mask(url, password_at, password_at + login.password.size());
}

std::string mask_unparsed(std::string_view url) {
    const std::size_t start = after_scheme_and_slashes(url);
    const std::size_t at = url.rfind('@');
    if (at == std::string_view::npos || at < start) return std::string(url);
    const std::size_t colon = url.substr(start, at - start).find(':');
    return with_mask(url, colon == std::string_view::npos ? start : start + colon + 1, at);
}

}  // namespace

std::string masked_url(std::string_view url) {
    Login login;
    const Parse parse = parse_login(url, login);
    if (parse == Parse::no_password) return std::string(url);
    if (parse == Parse::login)
        if (std::optional<std::string> shown = mask_parsed(url, login)) return *shown;
    // Unparsable, or a login not written where libcurl read it: mask the
    // widest reading.
    return mask_unparsed(url);
}
