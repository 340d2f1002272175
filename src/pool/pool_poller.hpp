// The job poller: the miner's only source of work. It long-polls the pool for
// the current job, checks it, installs every new job in the job slot, and
// waits out the three kinds of failure with their own rules.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "src/base/clock.hpp"
#include "src/devfee/devfee_state.hpp"
#include "src/miner/hashrate_meter.hpp"
#include "src/miner/mining_state.hpp"
#include "src/pool/pool_client.hpp"

struct PollerContext {
    std::shared_ptr<const SessionClients> clients;  // the getwork pair
    MiningState mining;
    std::uint64_t wait_ms = 20000;
    std::shared_ptr<HashrateMeter> meter;
    std::shared_ptr<DevFeeState> devfee;
    MonoClock clock = steady_now;
    Sleeper sleep = steady_sleep;
};

// Returns only when it sees the stop flag set.
void pool_poller(const PollerContext& context);

// The thread's entry: owns the shared references for the thread's life.
void pool_poller_thread(PollerContext context);

// The params of one job request: "current_job_id" only for a job of this
// session, "hashrate" only when present, finite and at least 1.0.
nlohmann::json template_request_params(const PoolClient& client, std::uint64_t wait_ms, const Job* current,
                                       bool session_is_dev, std::optional<double> hashrate);

// How a valid job differs from the current one; nullopt when identical.
std::optional<std::string_view> classify_job_change(const Job* current, const Job& job);
