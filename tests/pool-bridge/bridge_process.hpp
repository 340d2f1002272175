// The test pool bridge as a child process: started with extra arguments,
// found at the port it announces, stopped with SIGTERM (at the latest by
// the destructor). Its standard output and error are collected throughout.
//
// Starting one also ignores SIGPIPE in this process: a bridge fault may
// close a connection under a client that is still writing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/subprocess.hpp"

struct BridgeCounters {
    std::uint64_t getwork = 0, submit = 0, other = 0;  // requests received, redirect hops included
    std::uint64_t accepted = 0, blocks = 0, late = 0;  // blocks and late shares are also accepted
    std::uint64_t stale = 0, duplicate = 0, invalid = 0;

    bool operator==(const BridgeCounters&) const = default;
};

std::ostream& operator<<(std::ostream& out, const BridgeCounters& counters);

// The counters from the "bridge counters: …" line the bridge prints on exit.
std::optional<BridgeCounters> parse_counters_line(std::string_view output);

class BridgeProcess {
public:
    // Throws std::runtime_error when the bridge exits or says nothing for
    // ten seconds instead of announcing its port.
    explicit BridgeProcess(const std::vector<std::string>& args = {});
    ~BridgeProcess();
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;

    int port() const { return port_; }
    std::string url() const;  // "http://127.0.0.1:PORT"
    pid_t pid() const { return pid_; }

    // SIGTERM, then waits (SIGKILL after ten seconds): the exit status and
    // all it printed. Once it has exited, gives that result again.
    ProcessResult stop();
    // Waits for the bridge to exit by itself; nullopt when it still runs.
    std::optional<ProcessResult> wait_for_exit(std::chrono::milliseconds timeout);

    // One JSON-RPC call over a fresh connection: the whole answer object.
    // Throws std::runtime_error when no answer comes.
    nlohmann::json rpc(const std::string& method, const nlohmann::json& params = nlohmann::json::object()) const;
    BridgeCounters counters() const;  // bridge_counters
    std::string rotate() const;       // bridge_rotate: the new job's id

private:
    struct Output;

    ProcessResult collect(int status);

    pid_t pid_ = -1;
    int port_ = 0;
    std::shared_ptr<Output> output_;
    std::optional<ProcessResult> result_;
};
