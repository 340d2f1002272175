// One pool endpoint, and the pair of endpoints that serves one kind of
// traffic (getwork or submit) for the user and, with the dev fee, for the
// dev-fee session.
#pragma once

#include <atomic>
#include <chrono>
#include <expected>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "src/pool/http_agent.hpp"
#include "src/pool/rpc_error.hpp"

struct PoolClient {
    std::string pool_url;
    std::string address;
    std::string worker;
    HttpAgent agent;
    std::atomic<std::uint64_t> next_id{1};
    bool is_dev;

    PoolClient(std::string url, std::string payout_address, std::string worker_name,
               std::chrono::milliseconds total_timeout, bool dev)
        : pool_url(std::move(url)),
          address(std::move(payout_address)),
          worker(std::move(worker_name)),
          agent(total_timeout),
          is_dev(dev) {}
};

struct SessionClients {
    std::shared_ptr<PoolClient> user;
    std::shared_ptr<PoolClient> dev;  // only with the dev fee on

    // The client of a session: the dev client in the dev session, when there
    // is one, else the user's.
    PoolClient& of_session(bool is_dev) const { return is_dev && dev ? *dev : *user; }

    // Cuts off every transfer in flight on both clients and refuses every
    // later one.
    void abort_transfers() const {
        if (user) user->agent.abort_transfers();
        if (dev) dev->agent.abort_transfers();
    }
};

// The getwork clients' total time-out: the long-poll plus a 15 s margin, held
// at the longest time-out rather than wrapped to a short one.
std::chrono::milliseconds getwork_timeout(std::uint64_t wait_ms);

std::shared_ptr<PoolClient> pool_client_new(std::string pool_url, std::string address, std::string worker,
                                            std::chrono::milliseconds total_timeout, bool is_dev);

// One JSON-RPC 2.0 call as one HTTP POST: the call's "result" (null
// included), or why there is none. Blocks at most the client's total
// time-out, or `time_limit` when that is shorter.
std::expected<nlohmann::json, RpcError> rpc_call(PoolClient& client, const std::string& method,
                                                 nlohmann::json params,
                                                 std::optional<std::chrono::milliseconds> time_limit = {});

// What an HTTP answer that arrived means as a JSON-RPC answer: the call's
// "result", or why there is none. `read_error` says why the body could not
// be read whole, if so. Pure: kept apart from the transport so that every
// kind of answer can be checked without a server.
std::expected<nlohmann::json, RpcError> classify_rpc_answer(long status, const std::string& body,
                                                            const std::optional<std::string>& read_error);
