// The failure of one JSON-RPC call to the pool.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

// The pool answered with a non-null "error".
struct RpcPoolError {
    std::int64_t code = 0;
    std::string message;
    nlohmann::json data;  // null when absent
};

// Anything below or around JSON-RPC: transport, HTTP status, unreadable
// answer, an answer without "result", an invalid template.
// `request_sent`: the request went out and nothing read says what became of
// it (no answer, or one that is not a JSON-RPC answer): the pool may have
// acted on it. An HTTP error status is the server's refusal: not sent.
struct NetworkError {
    std::string text;
    bool request_sent = false;
};

// A job refused for its signature (made by the job poller).
struct UnsignedJobError {
    std::string text;
};

using RpcError = std::variant<RpcPoolError, NetworkError, UnsignedJobError>;

// "RPC {code}: {message}", "network: {text}" or "unsigned job: {text}".
std::string rpc_error_fmt(const RpcError& error);
