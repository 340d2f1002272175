// The pool side of the miner's JSON-RPC protocol: one call per HTTP POST,
// scripted faults in front, counters and an optional request log beside.
//
// The bridge's own methods (bridge_counters, bridge_rotate, bridge_recover)
// are the tests' back channel: they bypass the faults, the counters and the
// log. bridge_recover drops the faults left and answers the requests that
// a hang fault holds, as a stalled pool that comes back does.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tests/pool-bridge/faults.hpp"
#include "tests/pool-bridge/jobs.hpp"
#include "tests/pool-bridge/options.hpp"

struct BridgeCounts {
    std::atomic<std::uint64_t> getwork{0}, submit{0}, other{0};  // requests, redirect hops included
    std::atomic<std::uint64_t> accepted{0}, blocks{0}, late{0};  // blocks and late are also accepted
    std::atomic<std::uint64_t> stale{0}, duplicate{0}, invalid{0};
};

// One JSON line per request: path, target, headers (lower-case names), body,
// and "ms", its arrival in milliseconds since the log was opened.
class RequestLog {
public:
    explicit RequestLog(std::FILE* file) : file_(file), opened_(std::chrono::steady_clock::now()) {}
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;
    ~RequestLog();
    void write(const httplib::Request& request);

private:
    std::mutex mutex_;
    std::FILE* file_;
    const std::chrono::steady_clock::time_point opened_;
};

class Bridge {
public:
    Bridge(const BridgeOptions& options, JobBook& jobs, RequestLog* log)
        : max_wait_ms_(options.max_wait_ms),
          rotate_every_answer_(options.rotate_every_answer),
          jobs_(jobs),
          faults_(options.faults),
          log_(log) {}

    void handle(const httplib::Request& request, httplib::Response& response);

    nlohmann::json counters_json() const;
    // "bridge counters: getwork=… submit=… other=… accepted=… blocks=… late=… stale=… duplicate=… invalid=…"
    std::string counters_line() const;

private:
    struct Call;

    void handle_call(const httplib::Request& request, httplib::Response& response, const Call& call);
    // Answers the fault; false when the request is then served normally.
    bool apply_fault(const Fault& fault, const httplib::Request& request, httplib::Response& response,
                     const Call& call);
    // Follows a redirect chain at /r/K; false when the path is no hop of it.
    bool follow_redirect_chain(const httplib::Request& request, httplib::Response& response, const Call& call);
    nlohmann::json serve(const Call& call);
    nlohmann::json serve_getwork(const Call& call);
    nlohmann::json serve_submit(const Call& call);

    const std::uint64_t max_wait_ms_;
    const bool rotate_every_answer_;
    JobBook& jobs_;
    FaultQueue faults_;
    RequestLog* log_;
    BridgeCounts counts_;
    std::atomic<bool> recovered_{false};

    std::mutex chain_mutex_;
    std::optional<std::uint64_t> chain_hops_;  // an active redirect chain; 0: a loop
};
