// The error value of the whole program: a message with a chain of context
// messages, outermost first, and Result<T> built on std::expected.
//
// fmt "{}" shows the outermost message, "{:#}" the whole chain joined by ": ".
#pragma once

#include <expected>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

class Error {
public:
    explicit Error(std::string message) { messages_.push_back(std::move(message)); }

    // This error wrapped in an outer context message.
    [[nodiscard]] Error context(std::string message) const& {
        Error outer = *this;
        outer.messages_.push_back(std::move(message));
        return outer;
    }
    [[nodiscard]] Error context(std::string message) && {
        messages_.push_back(std::move(message));
        return std::move(*this);
    }

    // The outermost message.
    [[nodiscard]] const std::string& message() const { return messages_.back(); }

    // The outermost message, then ": " and each cause down to the root.
    [[nodiscard]] std::string chain() const;

    // Outermost first.
    [[nodiscard]] std::vector<std::string> messages() const {
        return {messages_.rbegin(), messages_.rend()};
    }

private:
    std::vector<std::string> messages_;  // root first, outermost last
};

template <typename T>
using Result = std::expected<T, Error>;

// `return fail("...")` from a function returning any Result<T>.
inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected<Error>(Error(std::move(message)));
}

template <typename... Args>
std::unexpected<Error> fail(fmt::format_string<Args...> format, Args&&... args) {
    return fail(fmt::format(format, std::forward<Args>(args)...));
}

inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

// How every failed system call is reported: the operating system's text for
// the errno value, then the value ("Permission denied (os error 13)").
std::string os_error_text(int code);
inline Error os_error(int code) { return Error(os_error_text(code)); }

// Adds a context message to the error of a failed result.
template <typename T>
Result<T> with_context(Result<T> result, std::string message) {
    if (!result) return std::unexpected<Error>(std::move(result.error()).context(std::move(message)));
    return result;
}

template <>
struct fmt::formatter<Error> {
    bool alternate = false;

    constexpr auto parse(fmt::format_parse_context& ctx) {
        auto it = ctx.begin();
        if (it != ctx.end() && *it == '#') {
            alternate = true;
            ++it;
        }
        if (it != ctx.end() && *it != '}') throw fmt::format_error("invalid format for Error");
        return it;
    }

    auto format(const Error& error, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(), "{}", alternate ? error.chain() : error.message());
    }
};
