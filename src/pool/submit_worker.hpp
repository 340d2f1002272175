// The submit workers: each takes the strongest queued share, sends it to the
// pool through the submit client of the share's session, retries transport
// failures, and prints and counts the outcome. A block share that cannot
// reach the pool goes back into the queue for a later try, for two minutes
// after it was found; at shutdown the workers send the blocks still queued
// until the drain's deadline. A block that is lost is printed whole, so
// that it can still be handed to the pool.
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


// About 2^512 divided by the hash read as a big-endian number; infinity
// for an all-zero hash.
double hash_difficulty(const Bytes64& hash);
