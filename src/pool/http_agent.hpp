// The HTTP client state of one pool endpoint: its settings and its kept-alive
// connections. Plain HTTP only; every call is one POST of a JSON body.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
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
// `request_sent`: some of the request had been written when it failed, so
// the server may have read it whole and acted on it.
struct HttpFailure {
    std::string text;
    bool request_sent = false;
};

// Why a transfer failed once the agent was told to abort them all.
inline constexpr const char* TRANSFER_ABORTED = "transfer cut off: the miner is stopping";

class HttpAgent {
public:
    // Every socket the agent's transfers use, from its creation until
    // libcurl closes it, so that an abort can shut each one down under the
    // poll that waits on it. Used by the agent's libcurl hooks.
    class Sockets {
    public:
        // False once aborted: the socket is not to be used.
        bool add(int socket);
        void remove(int socket);
        void abort();
        bool aborted() const { return aborted_.load(); }

    private:
        std::atomic<bool> aborted_{false};
        std::mutex lock_;
        std::set<int> open_;
    };

    explicit HttpAgent(std::chrono::milliseconds total_timeout);
    ~HttpAgent();
    HttpAgent(const HttpAgent&) = delete;
    HttpAgent& operator=(const HttpAgent&) = delete;

    // Blocks for the whole exchange, redirects included, at most the total
    // time-out, or `time_limit` when that is shorter. Safe to call from
    // several threads at once: each call gets a connection of its own.
    std::variant<HttpResponse, HttpFailure> post_json(const std::string& url, const std::string& body,
                                                      std::optional<std::chrono::milliseconds> time_limit = {});

    std::chrono::milliseconds total_timeout() const { return total_timeout_; }

    // Ends every transfer in flight at once and refuses every later one,
    // each failing with TRANSFER_ABORTED. One-way; safe from any thread.
    void abort_transfers();

private:
    void* acquire_handle();
    void release_handle(void* handle);

    std::chrono::milliseconds total_timeout_;
    std::mutex idle_lock_;
    std::vector<void*> idle_;  // at most one kept, with its connection
    Sockets sockets_;  // the destructor cleans up the handles, closing their sockets through it
};
