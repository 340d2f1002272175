// The submit workers: each takes the strongest queued share, sends it to the
// pool through the submit client of the share's session, retries transport
// failures, and prints and counts the outcome. A block share that cannot
// reach the pool goes back into the queue for a later try, for two minutes
// after it was found; at shutdown the workers send the blocks still queued
// until the drain's deadline. A block that does not reach the pool is
// printed whole, so that it can still be handed to the pool: "block LOST",
// or "block UNCONFIRMED" when a request for it went out unanswered.
#pragma once

#include <atomic>
#include <memory>

#include "src/base/bytes.hpp"
#include "src/base/clock.hpp"
#include "src/miner/mining_state.hpp"
#include "src/pool/pool_client.hpp"
#include "src/pool/submit_drain.hpp"

struct SubmitWorkerContext {
    std::shared_ptr<const SessionClients> clients;  // the submit pair
    MiningState mining;
    std::shared_ptr<SubmitDrain> drain;
    MonoClock clock = steady_now;
    Sleeper sleep = steady_sleep;
};

// The body of one submit thread; returns once it sees the stop flag and has
// drained the blocks left in the queue.
void submit_worker(const SubmitWorkerContext& context);

// Takes every block still queued and prints and counts it as not sent
// before the shutdown deadline: what the shutdown does once the submit
// workers have ended, so that no block stays behind unreported.
void report_blocks_left(const SubmitWorkerContext& context);

// Every block that a submit worker still holds, once the shutdown has
// stopped waiting for the workers: printed as unconfirmed (its request may
// have gone out) and counted; the worker reports nothing of it any more.
void report_blocks_in_flight(const SubmitWorkerContext& context);

// A block that the closed queue refused (a GPU worker that outlived the
// shutdown's wait found it): printed and counted like an unsent block.
void report_block_after_close(const SessionClients& submit_clients, MinerStats& stats, const Share& block);


// About 2^512 divided by the hash read as a big-endian number; infinity
// for an all-zero hash.
double hash_difficulty(const Bytes64& hash);
