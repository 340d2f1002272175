#include "src/main/miner_threads.hpp"

#include <pthread.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "src/miner/gpu_worker.hpp"
#include "src/pool/pool_poller.hpp"
#include "src/pool/submit_worker.hpp"

namespace {

std::shared_ptr<HashCounters> zero_counters(std::size_t n) { return std::make_shared<HashCounters>(n); }

// What a miner thread does when memory runs out: the miner stops as after
// a GPU failure, through the ordinary shutdown (every block sent or printed,
// the summary, the failure status), rather than by the process's abort.
struct OutOfMemoryStop {
    std::shared_ptr<std::atomic<bool>> failed, stop_flag;
    std::atomic<bool>* shutdown_requested;
    LineOutput lines;

    void operator()(const std::string& thread_name) const noexcept {
        failed->store(true);
        stop_flag->store(true);
        shutdown_requested->store(true);
        try {
            lines.err(fmt::format("[{}] out of memory: the miner stops", thread_name));
        } catch (...) {
            // Nothing more can be said; the flags above are what matters.
        }
    }
};

// Starts `body` on a thread with the given name (cut to the 15 characters
// the system keeps), which ends through `out_of_memory` if the body runs
// out of memory. The seam's hook may refuse the start as the system would.
template <typename Body>
std::thread start_named(const std::string& name, const MinerSeams& seams, const OutOfMemoryStop& out_of_memory,
                        Body body) {
    if (seams.before_thread_start) seams.before_thread_start(name);
    std::thread thread([name, out_of_memory, body = std::move(body)]() mutable {
        try {
            body();
        } catch (const std::bad_alloc&) {
            out_of_memory(name);
        }
    });
    pthread_setname_np(thread.native_handle(), name.substr(0, 15).c_str());
    return thread;
}

}  // namespace

MinerThreads start_miner_threads(const Cli& cli, std::vector<GpuSlot> slots,
                                         std::shared_ptr<DevFeeState> devfee,
                                         std::shared_ptr<const SessionClients> getwork,
                                         std::shared_ptr<const SessionClients> submit, const MinerSeams& seams) {
    MinerThreads m;
    MinerShared& s = m.shared;
    const std::size_t n = slots.size();
    s.busy_counters = zero_counters(n);
    MiningState& mining = s.mining;
    mining.slot = std::make_shared<JobSlot>(seams.clock);
    mining.stats = std::make_shared<MinerStats>();
    mining.stop_flag = std::make_shared<std::atomic<bool>>(false);
    s.hash_counters = zero_counters(n);
    mining.queue = std::make_shared<SubmitQueue>(mining.stats, cli.submit_queue);
    s.meter = std::make_shared<HashrateMeter>(cli.hashrate_hint, s.hash_counters, seams.clock());
    s.devfee = std::move(devfee);
    s.getwork = std::move(getwork);
    s.submit = std::move(submit);
    s.drain = std::make_shared<SubmitDrain>(s.submit);
    // Set before any thread can push: read without the queue's lock.
    mining.queue->on_block_refused = [clients = s.submit, stats = mining.stats](const Share& block) {
        report_block_after_close(*clients, *stats, block);
    };
    for (const GpuSlot& slot : slots) m.devices.push_back(slot.gpu.device());

    const std::size_t submitters = std::max<std::size_t>(cli.submit_threads, 1);
    seams.lines.out(fmt::format("submission: ≤ {} in flight, queue ≤ {} candidates (weakest dropped beyond, never a block)",
                                submitters, mining.queue->capacity));
    const OutOfMemoryStop out_of_memory{s.gpu_failed, mining.stop_flag, seams.shutdown_requested, seams.lines};
    try {
        PollerContext poller{.clients = s.getwork,
                             .mining = mining,
                             .wait_ms = cli.wait_ms,
                             .meter = s.meter,
                             .devfee = s.devfee,
                             .clock = seams.clock,
                             .sleep = seams.sleep};
        m.poller = start_named("getwork", seams, out_of_memory, [poller = std::move(poller), end = m.poller_end]() mutable {
            const ThreadEndScope ended(*end);
            pool_poller_thread(std::move(poller));
        });
        for (std::size_t i = 0; i < submitters; ++i) {
            SubmitWorkerContext worker{
                .clients = s.submit, .mining = mining, .drain = s.drain, .clock = seams.clock, .sleep = seams.sleep};
            m.submit_workers.push_back(start_named(fmt::format("submit{}", i), seams, out_of_memory, [worker = std::move(worker), end = m.submit_ends] {
                const ThreadEndScope ended(*end);
                submit_worker(worker);
            }));
        }
        for (std::size_t i = 0; i < n; ++i) {
            GpuWorkerContext worker{.gpu = std::move(slots[i].gpu),
                                    .mining = mining,
                                    .hash_counters = s.hash_counters,
                                    .busy_counters = s.busy_counters,
                                    .slot_index = i,
                                    .throttle_ms = cli.throttle_ms,
                                    .geometry = slots[i].geometry,
                                    .seams = seams,
                                    .failed = s.gpu_failed};
            m.gpu_workers.push_back(
                start_named(fmt::format("gpu{}", m.devices[i]), seams, out_of_memory, [worker = std::move(worker), end = m.gpu_ends]() mutable {
                    const ThreadEndScope ended(*end);
                    gpu_worker(std::move(worker));
                }));
        }
    } catch (const std::system_error& e) {
        m.start_failure = Error(fmt::format("cannot start the miner's threads: {}", e.code().message()));
    }
    return m;
}
