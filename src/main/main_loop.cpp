#include "src/main/main_loop.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "src/base/durations.hpp"
#include "src/gpu/device.hpp"
#include "src/pool/submit_worker.hpp"
#include "src/ui/colors.hpp"
#include "src/ui/console_safe.hpp"

namespace {

using Seconds = std::chrono::duration<double>;

std::string painted_count(std::uint64_t value, std::string_view color_when_set) {
    return ui_paint(fmt::format("{}", value), value != 0 ? color_when_set : GREY);
}

class MainLoop {
public:
    MainLoop(MinerThreads& miner, std::uint64_t stats_every, const MainLoopSeams& seams)
        : m_(miner),
          seams_(seams),
          period_(duration_from_s(std::max<std::uint64_t>(stats_every, 1))),
          previous_(miner.devices.size(), 0) {
        if (!seams_.nvml_read) seams_.nvml_read = gpu_nvml_read;
        started_ = seams_.clock();
        last_line_ = seams_.clock();
    }

    ShutdownEnd run() {
        if (m_.start_failure) m_.shared.mining.stop_flag->store(true);
        while (!seams_.shutdown_requested->load() && !m_.shared.mining.stop_flag->load()) {
            seams_.sleep(MAIN_LOOP_TICK);
            const MonoTime now = seams_.clock();
            report_block_waits(now, false);
            // Fewer whole seconds than the period is less time than the period.
            if (now - last_line_ < period_) continue;
            print_stats(now);
            last_line_ = seams_.clock();
        }
        return shut_down();
    }

private:
    void print_stats(MonoTime now);
    void report_block_waits(MonoTime now, bool at_shutdown);
    ShutdownEnd shut_down();
    bool second_stop(unsigned signals_at_stop) const;
    bool wait_for_gpu_workers(unsigned signals_at_stop);
    bool wait_for_submit_workers(unsigned signals_at_stop);
    void report_unsent_blocks();
    bool stop_poller();
    void print_summary();

    MinerThreads& m_;
    MainLoopSeams seams_;
    ClockDuration period_;  // a period past the clock's range never comes
    std::vector<std::uint64_t> previous_;
    MonoTime started_, last_line_;
    std::uint64_t block_waits_shown_ = 0;
    std::optional<MonoTime> first_wait_seen_;
    MonoTime last_wait_line_{};
};

// GPU workers waiting for room in the block queue: a line as soon as the
// first wait is seen, then at most one every 10 s while workers wait or
// more waits come, and a last one at the shutdown if any came since; each
// gives how many blocks wait now, how many waits there were, and since
// when the queue first filled.
void MainLoop::report_block_waits(MonoTime now, bool at_shutdown) {
    const BlockWaits waits = queue_block_waits(*m_.shared.mining.queue);
    const bool new_waits = waits.total != block_waits_shown_;
    if (!new_waits && (waits.waiting == 0 || at_shutdown)) return;
    if (!first_wait_seen_) {
        first_wait_seen_ = now;
    } else if (!at_shutdown && now - last_wait_line_ < BLOCK_WAITS_LINE_EVERY) {
        return;
    }
    seams_.lines.out(ui_paint(
        fmt::format("[pool] block queue full ({} blocks) since {} s: {} blocks wait for room, {} waits in all — the "
                    "pool takes blocks slower than they are found; the GPUs pause until it catches up",
                    m_.shared.mining.queue->block_capacity,
                    std::chrono::duration_cast<std::chrono::seconds>(*first_wait_seen_ - started_).count(),
                    waits.waiting, waits.total),
        RED));
    block_waits_shown_ = waits.total;
    last_wait_line_ = now;
}

void MainLoop::print_stats(MonoTime now) {
    const MinerShared& s = m_.shared;
    const double dt = Seconds(now - last_line_).count();
    double total = 0;
    std::vector<std::string> items;
    for (std::size_t i = 0; i < m_.devices.size(); ++i) {
        const std::uint64_t h = (*s.hash_counters)[i].load();
        const double mhs = static_cast<double>(h - previous_[i]) / dt / 1e6;
        previous_[i] = h;
        total += mhs;
        std::uint32_t power = 0, limit = 0, clock = 0;
        const int rc = seams_.nvml_read(m_.devices[i], &power, &limit, &clock);
        items.push_back(stats_gpu_item(m_.devices[i], mhs, (*s.busy_counters)[i].load(), rc, power, clock));
    }
    const auto [generation, job] = job_slot_get(*s.mining.slot);
    const std::string job_item =
        job ? fmt::format("{} [{}] diff {}", console_safe_cut(job->job_id), job->is_dev ? "dev" : "user",
                          console_safe(job->share_difficulty))
            : "NONE";
    const SessionCounters& user = s.mining.stats->user;
    seams_.lines.out(fmt::format(
        "[stats] {} ({}) | accepted {} rejected {} stale {} duplicates {} (dedup {}) abandoned {} (queue full {}) | "
        "queue {} | blocks {} (late {}) | job {} | GPU≠host {} | net err {} | {} s",
        ui_paint_bold(fmt::format("{:.1f} MH/s", total), CREAM), fmt::join(items, ", "),
        ui_paint(fmt::format("{}", user.accepted.load()), GREEN), painted_count(user.rejected.load(), RED),
        painted_count(user.stale_rejected.load(), RED), painted_count(user.duplicates.load(), ORANGE),
        s.mining.stats->dedup_dropped.load(), s.mining.stats->abandoned.load(), s.mining.stats->queue_full.load(), queue_len(*s.mining.queue),
        painted_count(user.blocks_found.load(), ORANGE_RED), user.late_accepted.load(), job_item,
        s.mining.stats->gpu_mismatch.load(), s.mining.stats->net_errors.load(),
        std::chrono::duration_cast<std::chrono::seconds>(now - started_).count()));
}

// The GPU workers are joined before the queue closes, for their last
// batches may hold blocks, however long those take; a second stop request
// ends the wait at once, leaving a worker held in a driver call running.
// The queue's close starts the drain's 10 s; then every block still queued
// is reported, so that none stays behind unreported, whatever ended the
// drain.
ShutdownEnd MainLoop::shut_down() {
    const MinerShared& s = m_.shared;
    seams_.lines.out("shutdown requested — finishing current batches…");
    s.mining.stop_flag->exchange(true);
    // A GPU worker waiting for room in the block queue goes on: its blocks,
    // and those of its last batch, are sent in the drain or reported.
    queue_lift_block_bound(*s.mining.queue);
    const unsigned signals_at_stop = seams_.stop_signals->load();
    const bool gpu_workers_ended = wait_for_gpu_workers(signals_at_stop);
    // The drain's deadline is set before the workers can see the queue closed.
    s.drain->begin(seams_.clock());
    queue_close(*s.mining.queue);
    if (!gpu_workers_ended) s.drain->end_now(seams_.clock());
    const bool submit_workers_ended = wait_for_submit_workers(signals_at_stop);
    report_unsent_blocks();
    report_block_waits(seams_.clock(), true);
    const bool poller_ended = stop_poller();
    print_summary();
    return {.status = s.gpu_failed->load() || m_.start_failure ? GPU_FAILURE_STATUS : 0,
            .threads_left_running = !gpu_workers_ended || !submit_workers_ended || !poller_ended,
            .start_failure = m_.start_failure};
}

// A signal since the shutdown began, or a second one in all (two that came
// before the loop saw the first).
bool MainLoop::second_stop(unsigned signals_at_stop) const {
    const unsigned signals = seams_.stop_signals->load();
    return signals > signals_at_stop || signals >= 2;
}

// True once every GPU worker has ended and been joined; false when a second
// stop came first: the workers left are detached, to end with the process.
bool MainLoop::wait_for_gpu_workers(unsigned signals_at_stop) {
    while (!m_.gpu_ends->wait_for(m_.gpu_workers.size(), MAIN_LOOP_TICK)) {
        if (second_stop(signals_at_stop)) {
            for (std::thread& t : m_.gpu_workers) t.detach();
            return false;
        }
    }
    for (std::thread& t : m_.gpu_workers) t.join();
    return true;
}

// A second stop request ends the drain of the queued blocks at once. The
// wait is bounded all the same: a worker that has not ended a second past
// the drain's deadline has its transfers cut off, and one that still has
// not ended a second after that (or after a second stop request) is left
// running, its block reported by the shutdown. True when every worker
// ended and was joined.
bool MainLoop::wait_for_submit_workers(unsigned signals_at_stop) {
    const MinerShared& s = m_.shared;
    std::optional<MonoTime> give_up_at;
    while (!m_.submit_ends->wait_for(m_.submit_workers.size(), MAIN_LOOP_TICK)) {
        const MonoTime now = seams_.clock();
        if (give_up_at) {
            if (now < *give_up_at) continue;
            for (std::thread& t : m_.submit_workers) t.detach();
            return false;
        }
        const std::optional<MonoTime> deadline = s.drain->deadline();
        if (second_stop(signals_at_stop) || (deadline && now >= *deadline + SUBMIT_END_WAIT)) {
            s.drain->end_now(now);
            give_up_at = now + SUBMIT_END_WAIT;
        }
    }
    for (std::thread& t : m_.submit_workers) t.join();
    return true;
}

void MainLoop::report_unsent_blocks() {
    const MinerShared& s = m_.shared;
    if (!s.submit) return;  // no submit clients: the main loop alone, in the tests
    const SubmitWorkerContext context{
        .clients = s.submit, .mining = s.mining, .drain = s.drain, .clock = seams_.clock, .sleep = seams_.sleep};
    ::report_blocks_in_flight(context);
    ::report_blocks_left(context);
}

// The poller may be inside a long-poll: it is cut off, and the poller,
// which installs nothing once stopping, ends within moments. One that does
// not end in time is left running: true when it ended.
bool MainLoop::stop_poller() {
    if (!m_.poller.joinable()) return true;
    if (m_.shared.getwork) m_.shared.getwork->abort_transfers();
    if (m_.poller_end->wait_for(1, POLLER_END_WAIT)) {
        m_.poller.join();
        return true;
    }
    m_.poller.detach();
    return false;
}

void MainLoop::print_summary() {
    const MinerShared& s = m_.shared;
    std::uint64_t hashes = 0;
    for (const auto& counter : *s.hash_counters) hashes += counter.load();
    const MonoTime now = seams_.clock();
    const double average = static_cast<double>(hashes) / std::max(Seconds(now - started_).count(), 1e-9) / 1e6;
    const SessionCounters& user = s.mining.stats->user;
    seams_.lines.out(fmt::format(
        "summary: {} hashes in {} s ({} avg) | accepted {} rejected {} stale {} duplicates {} (dedup {}) abandoned {} "
        "(queue full {}) | blocks {} | GPU≠host {}",
        hashes, std::chrono::duration_cast<std::chrono::seconds>(now - started_).count(),
        ui_paint_bold(fmt::format("{:.1f} MH/s", average), CREAM), user.accepted.load(), user.rejected.load(),
        user.stale_rejected.load(), user.duplicates.load(), s.mining.stats->dedup_dropped.load(), s.mining.stats->abandoned.load(),
        s.mining.stats->queue_full.load(), user.blocks_found.load(), s.mining.stats->gpu_mismatch.load()));
}

}  // namespace

std::string stats_gpu_item(int device, double mhs, std::uint64_t busy_per_mille, int nvml_rc, std::uint32_t power_mw,
                           std::uint32_t clock_mhz) {
    const std::string busy =
        busy_per_mille != 0 ? fmt::format(" busy {:.1f}%", static_cast<double>(busy_per_mille) / 10.0) : "";
    const double watts = static_cast<double>(power_mw) / 1000.0;
    if (nvml_rc == 0 && watts > 0)
        return fmt::format("GPU{} {:.1f} [{:.0f} W {:.2f} MH/s/W {} MHz{}]", device, mhs, watts, mhs / watts, clock_mhz,
                           busy);
    if (busy.empty()) return fmt::format("GPU{} {:.1f}", device, mhs);
    return fmt::format("GPU{} {:.1f} [{}]", device, mhs, busy.substr(1));
}

ShutdownEnd run_main_loop(MinerThreads& miner, std::uint64_t stats_every, const MainLoopSeams& seams) {
    return MainLoop(miner, stats_every, seams).run();
}
