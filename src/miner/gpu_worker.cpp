#include "src/miner/gpu_worker.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "src/base/durations.hpp"
#include "src/base/hex.hpp"
#include "src/pow/nonce.hpp"
#include "src/pow/target.hpp"
#include "src/ui/colors.hpp"
#include "src/ui/console_safe.hpp"

namespace {

using namespace std::chrono_literals;

constexpr ClockDuration THROTTLE_SLICE = 100ms;

class GpuWorker {
public:
    explicit GpuWorker(GpuWorkerContext context) : c_(std::move(context)) {}

    void run();

private:
    // The steps of a turn; an error is the error stop.
    Result<void> job_change(std::uint64_t generation, std::shared_ptr<const Job> job);
    Result<void> mining_turn();
    void idle_turn();
    void exit_loop();
    void error_stop(const Error& error);

    Result<void> launch_next();
    void process(const BatchResult& batch, const std::shared_ptr<const Job>& job);
    void update_busy_figure();
    void throttle_pause(ClockDuration pause);
    bool stopping() const { return c_.mining.stop_flag->load() || c_.seams.shutdown_requested->load(); }

    int ordinal() const { return gpu_->device(); }
    void say(std::string_view line, std::string_view color, bool bold = false) const {
        c_.seams.lines.out(bold ? ui_paint_bold(line, color) : ui_paint(line, color));
    }

    GpuWorkerContext c_;
    std::optional<GpuContext> gpu_;  // gone once destroyed
    std::array<std::uint8_t, 28> rand28_{};
    std::array<std::uint8_t, 24> rand24_{};
    Bytes32 nonce_hi_{};
    std::uint64_t batch_ = 0;

    std::uint64_t nonce_counter_ = 0;
    std::uint64_t last_generation_ = 0;
    std::shared_ptr<const Job> current_job_;
    std::optional<std::uint32_t> in_flight_;
    std::uint32_t last_buffer_ = 1;  // the first launch goes to buffer 0
    bool waiting_shown_ = false;
    std::uint64_t collect_count_ = 0;
    std::vector<TemplateEntry> templates_;
};

void GpuWorker::run() {
    gpu_.emplace(std::move(c_.gpu));
    std::array<std::uint8_t, 52> random{};
    if (auto drawn = c_.seams.random(random); !drawn) {
        // No weak nonce: a worker without its random parts does not mine.
        error_stop(std::move(drawn.error()).context("cannot draw the random nonce parts"));
        return;
    }
    std::copy_n(random.begin(), 28, rand28_.begin());
    std::copy_n(random.begin() + 28, 24, rand24_.begin());
    if (c_.mining.stop_flag->load()) {
        gpu_.reset();
        return;
    }
    batch_ = std::uint64_t{c_.geometry.blocks} * c_.geometry.threads * c_.geometry.iters;

    while (!c_.seams.shutdown_requested->load()) {
        auto [generation, job] = job_slot_get(*c_.mining.slot);
        Result<void> turn;
        if (generation != last_generation_)
            turn = job_change(generation, std::move(job));
        else if (current_job_ == nullptr)
            idle_turn();
        else
            turn = mining_turn();
        if (!turn) {
            error_stop(turn.error());
            return;
        }
        if (c_.mining.stop_flag->load()) break;
    }
    exit_loop();
}

Result<void> GpuWorker::launch_next() {
    const std::uint32_t buffer = 1 - last_buffer_;
    if (auto launched = gpu_mine_launch(*gpu_, nonce_counter_, c_.geometry.blocks, c_.geometry.threads,
                                        c_.geometry.iters, buffer);
        !launched)
        return launched;
    last_buffer_ = buffer;
    nonce_counter_ += batch_;
    return {};
}

Result<void> GpuWorker::job_change(std::uint64_t generation, std::shared_ptr<const Job> job) {
    last_generation_ = generation;
    if (in_flight_) {
        // The old job's batch, against the old job and its nonce high half.
        Result<BatchResult> batch = gpu_mine_collect(*gpu_, *in_flight_);
        if (!batch) return fail(std::move(batch.error()));
        process(*batch, current_job_);
    }
    current_job_.reset();
    in_flight_.reset();
    if (job == nullptr) return {};

    std::copy(job->nonce_prefix.begin(), job->nonce_prefix.end(), nonce_hi_.begin());
    std::copy(rand28_.begin(), rand28_.end(), nonce_hi_.begin() + 4);
    Bytes32 base{};
    std::copy(rand24_.begin(), rand24_.end(), base.begin());
    if (auto set = gpu_set_job(*gpu_, job->mining_hash, nonce_hi_, base, job->share_target); !set) return set;

    bool remembered = false;
    nonce_counter_ = template_counter(templates_, job->mining_hash, job->nonce_prefix, nonce_counter_, remembered);
    if (remembered)
        say(fmt::format("[GPU{}] job {} : same template, target updated — nonce counter kept ({:#x})", ordinal(),
                        console_safe_cut(job->job_id), nonce_counter_),
            GREY);

    if (auto launched = launch_next(); !launched) return launched;
    in_flight_ = last_buffer_;
    current_job_ = std::move(job);
    waiting_shown_ = false;
    return {};
}

void GpuWorker::idle_turn() {
    if (!waiting_shown_) say(fmt::format("[GPU{}] waiting for a job", ordinal()), DARK_GREY);
    c_.seams.sleep(IDLE_POLL);
    waiting_shown_ = true;
}

Result<void> GpuWorker::mining_turn() {
    const std::optional<std::uint32_t> previous = in_flight_;
    if (auto launched = launch_next(); !launched) return launched;
    assert(previous && "un lot est toujours en vol quand un job est actif");
    Result<BatchResult> batch = gpu_mine_collect(*gpu_, *previous);
    if (!batch) return fail(std::move(batch.error()));
    in_flight_ = last_buffer_;
    process(*batch, current_job_);
    if (++collect_count_ % BUSY_EVERY_COLLECTS == 0) update_busy_figure();
    if (c_.throttle_ms > 0) throttle_pause(duration_from_ms(c_.throttle_ms));
    return {};
}

// The throttle pause, in slices so that a stop ends it: a long throttle
// must not hold up the shutdown, which joins this worker.
void GpuWorker::throttle_pause(ClockDuration pause) {
    while (pause > ClockDuration::zero() && !stopping()) {
        const ClockDuration slice = std::min<ClockDuration>(pause, THROTTLE_SLICE);
        c_.seams.sleep(slice);
        pause -= slice;
    }
}

// A batch's hashes are counted once its candidates are queued (a block
// waits there for room): a count in the summary never covers a block that
// the exit could still cut off between the collect and the queue.
void GpuWorker::process(const BatchResult& batch, const std::shared_ptr<const Job>& job) {
    if (batch.count > batch.candidates.size())
        say(fmt::format("[GPU{}] {} candidates in batch, {} reported (cap) — share target too easy", ordinal(),
                        batch.count, batch.candidates.size()),
            ORANGE);
    for (std::uint64_t counter : batch.candidates) {
        const Bytes64 nonce = mining_nonce(nonce_hi_, rand24_, counter);
        const Bytes64 hash = pow_hash(job->mining_hash, nonce);
        if (!hash_meets_target(hash, job->share_target)) {
            count(c_.mining.stats->gpu_mismatch);
            say(fmt::format("[GPU{}] GPU/HOST MISMATCH: candidate {:#x} host hash {}… ≥ target — NOT submitted",
                            ordinal(), counter, hex_encode(std::span(hash).first(12))),
                RED, true);
            continue;
        }
        Share share{c_.seams.clock(), job, nonce, hash, static_cast<std::uint32_t>(ordinal()),
                    hash_meets_target(hash, job->block_target)};
        const std::shared_ptr<JobSlot> slot = c_.mining.slot;
        queue_push(*c_.mining.queue, std::move(share), [slot](std::string_view id) { return job_is_live_pred(slot, id); });
    }
    (*c_.hash_counters)[c_.slot_index].fetch_add(batch.launched);
}

void GpuWorker::update_busy_figure() {
    double busy = 0, wall = 0;
    if (!gpu_kernel_times(*gpu_, busy, wall) || wall <= 0) return;
    const double per_mille = std::min(busy / wall * 1000.0, 1000.0);
    (*c_.busy_counters)[c_.slot_index].store(static_cast<std::uint64_t>(per_mille));
}

void GpuWorker::exit_loop() {
    if (in_flight_) {
        // A failure of this last collect is dropped without a message.
        if (Result<BatchResult> batch = gpu_mine_collect(*gpu_, *in_flight_); batch && current_job_)
            process(*batch, current_job_);
    }
    templates_.clear();
    current_job_.reset();
    gpu_.reset();
}

void GpuWorker::error_stop(const Error& error) {
    // The batch in flight is abandoned; destroying the context waits for it.
    templates_.clear();
    current_job_.reset();
    gpu_.reset();
    c_.seams.lines.err(fmt::format("[GPU] worker thread stopped on error: {:#}", error));
    c_.failed->store(true);
    c_.mining.stop_flag->exchange(true);
    c_.seams.shutdown_requested->exchange(true);
}

}  // namespace

std::uint64_t template_counter(std::vector<TemplateEntry>& templates, const Bytes32& mining_hash,
                               const NoncePrefix& prefix, std::uint64_t counter, bool& remembered) {
    const auto is_template = [&](const TemplateEntry& e) { return e.mining_hash == mining_hash && e.nonce_prefix == prefix; };
    remembered = false;
    if (!templates.empty() && is_template(templates.front())) {
        remembered = true;
        return counter;
    }
    if (!templates.empty()) templates.front().saved_counter = counter;
    if (const auto it = std::ranges::find_if(templates, is_template); it != templates.end()) {
        const TemplateEntry entry = *it;
        templates.erase(it);
        templates.insert(templates.begin(), entry);
        remembered = true;
        return entry.saved_counter;
    }
    templates.insert(templates.begin(), TemplateEntry{mining_hash, prefix, 0});
    if (templates.size() > TEMPLATES_KEPT) templates.pop_back();
    return 0;
}

void gpu_worker(GpuWorkerContext context) { GpuWorker(std::move(context)).run(); }
