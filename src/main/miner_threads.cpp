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

// Starts `body` on a thread with the given name (cut to the 15 characters
// the system keeps).
template <typename Body>
std::thread start_named(const std::string& name, Body body) {
    std::thread thread(std::move(body));
    pthread_setname_np(thread.native_handle(), name.substr(0, 15).c_str());
    return thread;
}

// Leaves every thread started so far running; they end with the process.
void detach_all(MinerThreads& m) {
    if (m.poller.joinable()) m.poller.detach();
    for (std::thread& t : m.submit_workers) t.detach();
    for (std::thread& t : m.gpu_workers) t.detach();
}

}  // namespace

Result<MinerThreads> start_miner_threads(const Cli& cli, std::vector<GpuSlot> slots,
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
    try {
        PollerContext poller{.clients = s.getwork,
                             .mining = mining,
                             .wait_ms = cli.wait_ms,
                             .meter = s.meter,
                             .devfee = s.devfee,
                             .clock = seams.clock,
                             .sleep = seams.sleep};
        m.poller = start_named("getwork", [poller = std::move(poller), end = m.poller_end]() mutable {
            const ThreadEndScope ended(*end);
            pool_poller_thread(std::move(poller));
        });
        for (std::size_t i = 0; i < submitters; ++i) {
            SubmitWorkerContext worker{
                .clients = s.submit, .mining = mining, .drain = s.drain, .clock = seams.clock, .sleep = seams.sleep};
            m.submit_workers.push_back(start_named(fmt::format("submit{}", i), [worker = std::move(worker), end = m.submit_ends] {
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
                start_named(fmt::format("gpu{}", m.devices[i]), [worker = std::move(worker), end = m.gpu_ends]() mutable {
                    const ThreadEndScope ended(*end);
                    gpu_worker(std::move(worker));
                }));
        }
    } catch (const std::system_error& e) {
        detach_all(m);
        return fail(e.code().message());
    }
    return m;
}
