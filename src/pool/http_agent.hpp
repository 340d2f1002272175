// The HTTP client state of one pool endpoint: its settings and its kept-alive
// connections. Plain HTTP only; every call is one POST of a JSON body.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Largest answer body read; a longer one is cut off unread.
inline constexpr std::size_t MAX_BODY_BYTES = 10 * 1024 * 1024;

// A final answer whose status line arrived. When its body could not be read
// whole (over MAX_BODY_BYTES, connection lost, time-out), `body` is empty
// and `read_error` says why.
struct HttpResponse {
    long status;
    std::string body;
    std::optional<std::string> read_error;
};

// A failure below HTTP, with the HTTP client's own description.
struct HttpFailure {
    std::string text;
};

class HttpAgent {
public:
    explicit HttpAgent(std::chrono::milliseconds total_timeout);
    ~HttpAgent();
    HttpAgent(const HttpAgent&) = delete;
    HttpAgent& operator=(const HttpAgent&) = delete;

    // Blocks for the whole exchange, redirects included, at most the total
    // time-out. Safe to call from several threads at once: each call gets a
    // connection of its own.
    std::variant<HttpResponse, HttpFailure> post_json(const std::string& url, const std::string& body);

    std::chrono::milliseconds total_timeout() const { return total_timeout_; }

private:
    void* acquire_handle();
    void release_handle(void* handle);

    std::chrono::milliseconds total_timeout_;
    std::mutex idle_lock_;
    std::vector<void*> idle_;  // at most one kept, with its connection
};
