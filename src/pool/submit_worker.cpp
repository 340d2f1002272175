#include "src/pool/submit_worker.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

#include "src/base/hex.hpp"
#include "src/ui/colors.hpp"
#include "src/ui/console.hpp"
#include "src/ui/console_safe.hpp"

namespace {

using namespace std::chrono_literals;

constexpr int SUBMIT_ATTEMPTS = 3;
constexpr auto RETRY_PAUSE = 300ms;
// The least time before the drain's deadline in which an attempt starts. A
// pool answers a submission in milliseconds on a kept-alive connection, and
// within a few round trips on a new one (a second covers a connect and an
// exchange across continents); an attempt started with less left would
// mostly be cut off after its request went out, leaving its block neither
// confirmed nor known to be lost. It costs the drain a tenth of its 10 s.
constexpr auto LEAST_TIME_FOR_AN_ATTEMPT = 1s;
// The longest sleep of a worker with nothing to take while a block waits
// for its next round.
constexpr auto HELD_BACK_SLICE = 50ms;
// A block is tried for two minutes after it was found: for a block the pool
// is worth waiting for.
constexpr auto BLOCK_PATIENCE = 120s;

// The pause before a block's next round: 1, 2, 4, 8, then 10 s.
std::chrono::seconds block_pause(unsigned failed_rounds) {
    if (failed_rounds >= 5) return 10s;
    return std::chrono::seconds(1u << (std::max(failed_rounds, 1u) - 1));
}

constexpr std::int64_t STALE_SHARE = -32010;
constexpr std::int64_t DUPLICATE_SHARE = -32012;

std::string json_text(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string hex_head(const Bytes64& bytes, std::size_t byte_count) {
    return hex_encode(std::span(bytes).first(byte_count));
}

std::string result_status(const nlohmann::json& result) {
    if (!result.is_object()) return "?";
    const auto status = result.find("status");
    return status != result.end() && status->is_string() ? status->get<std::string>() : "?";
}

// Compact JSON without its surrounding quotes; empty when absent.
std::string next_difficulty_text(const nlohmann::json& result) {
    if (!result.is_object()) return "";
    const auto value = result.find("share_difficulty");
    if (value == result.end()) return "";
    const std::string text = json_text(*value);
    const std::size_t first = text.find_first_not_of('"');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of('"') - first + 1);
}

bool stop_requested(const SubmitWorkerContext& context) { return context.mining.stop_flag->load(); }

// Everything about one share that the outcome lines need.
struct Submission {
    const Share& share;
    std::string job_id;   // the pool's exact bytes: sent back, compared
    std::string shown_id;  // the same as the console may show it, cut to the shown length
    std::string nonce_hex;
    std::string tag;
    std::string diff;  // fixed-point, three decimals
    long long waited_ms;
    SessionCounters& counters;
    PoolClient& client;
};

Submission describe(const SessionClients& clients, MinerStats& stats, MonoTime now, const Share& share) {
    const bool is_dev = share.job->is_dev;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - share.found_at);
    PoolClient& client = clients.of_session(is_dev);
    return Submission{
        .share = share,
        .job_id = share.job->job_id,
        .shown_id = console_safe_cut(share.job->job_id),
        .nonce_hex = hex_encode(share.nonce),
        .tag = is_dev ? ui_paint(" [dev fee]", ORANGE) : "",
        .diff = fmt::format("{:.3f}", hash_difficulty(share.hash)),
        .waited_ms = waited.count() > 0 ? static_cast<long long>(waited.count()) : 0,
        .counters = stats.session(is_dev),
        .client = client,
    };
}

Submission describe(const SubmitWorkerContext& context, const Share& share) {
    return describe(*context.clients, *context.mining.stats, context.clock(), share);
}

// The block's job, exact id, difficulty and nonce, as a line that hands it
// in must give them. The job id is shown whole (MAX_JOB_ID_BYTES keeps it
// short enough); one the console cannot show as it is (control characters,
// invalid UTF-8) is shown escaped and also given as the hex of its exact
// bytes.
std::string block_particulars(const Submission& s) {
    const std::string whole_id = console_safe(s.job_id);
    const std::string exact_id =
        whole_id == s.job_id ? "" : fmt::format(" (job id bytes {})", hex_encode(std::span(
                                                    reinterpret_cast<const std::uint8_t*>(s.job_id.data()),
                                                    s.job_id.size())));
    return fmt::format("job {}{} diff≈{} nonce {}", whole_id, exact_id, s.diff, s.nonce_hex);
}

// A local block the pool refused, whatever its reason: the refusal's own
// line is followed by one with all it takes to hand the block in again,
// should the pool have erred.
void report_refused_block(const Submission& s, const RpcPoolError& error) {
    console_out(ui_paint(fmt::format("[GPU{}]{} block REFUSED by the pool ({}: {}) {}", s.share.gpu_ordinal, s.tag,
                                     error.code, console_safe_cut(error.message), block_particulars(s)),
                         RED));
}

void report_pool_error(const SubmitWorkerContext& context, const Submission& s, const RpcPoolError& error) {
    const std::uint32_t gpu = s.share.gpu_ordinal;
    if (error.code == DUPLICATE_SHARE) {
        count(s.counters.duplicates);
        console_out(ui_paint(fmt::format("[GPU{}]{} share DUPLICATE job {} (nonce {}…)", gpu, s.tag, s.shown_id,
                                         s.nonce_hex.substr(0, 16)),
                             ORANGE));
    } else if (error.code == STALE_SHARE) {
        count(s.counters.stale_rejected);
        console_out(
            ui_paint(fmt::format("[GPU{}]{} share STALE job {} : {}", gpu, s.tag, s.shown_id,
                                 console_safe_cut(error.message)),
                     RED));
        job_slot_mark_stale(*context.mining.slot, s.job_id);
    } else {
        count(s.counters.rejected);
        console_out(ui_paint(fmt::format("[GPU{}]{} share REJECTED job {} ({}: {} {}) hash {}… diff≈{}", gpu, s.tag,
                                         s.shown_id, error.code, console_safe_cut(error.message),
                                         console_safe_cut(json_text(error.data)),
                                         hex_head(s.share.hash, 12), s.diff),
                             RED));
    }
    if (s.share.is_block) report_refused_block(s, error);
}

void report_result(const Submission& s, const nlohmann::json& result) {
    const std::uint32_t gpu = s.share.gpu_ordinal;
    const std::string status = result_status(result);  // compared exactly, shown safe
    count(s.counters.accepted);
    if (status == "late") {
        count(s.counters.late_accepted);
        console_out(ui_paint(fmt::format("[GPU{}]{} share accepted but LATE (job superseded) job {} diff≈{}", gpu,
                                         s.tag, s.shown_id, s.diff),
                             ORANGE));
    } else if (status == "share") {
        console_out(fmt::format("[GPU{}]{} {} job {} diff≈{} ({} ms) → next diff {}", gpu, s.tag,
                                ui_paint("share ACCEPTED", GREEN), s.shown_id, s.diff, s.waited_ms,
                                console_safe_cut(next_difficulty_text(result))));
    } else if (status == "block") {
        count(s.counters.blocks_found);
        const std::optional<std::uint64_t>& height = s.share.job->height;
        console_out("");
        console_out(ui_paint_bold(fmt::format("  ★  BLOCK FOUND  ★  job {} hauteur {} diff≈{} nonce {} hash {}…",
                                              s.shown_id, height ? std::to_string(*height) : "?", s.diff, s.nonce_hex,
                                              hex_head(s.share.hash, 12)),
                                  ORANGE_RED));
        console_out("");
    } else {
        console_out(fmt::format("[GPU{}]{} share accepted, status « {} » job {} (local block={})", gpu, s.tag,
                                console_safe_cut(status), s.shown_id, s.share.is_block));
    }
}

// The last moment an attempt may start: a second before the drain's
// deadline; none before the drain begins.
std::optional<MonoTime> last_attempt_start(const SubmitWorkerContext& context) {
    const std::optional<MonoTime> deadline = context.drain->deadline();
    if (!deadline) return std::nullopt;
    return *deadline - LEAST_TIME_FOR_AN_ATTEMPT;
}

bool time_for_an_attempt(const SubmitWorkerContext& context, MonoTime now) {
    const std::optional<MonoTime> last = last_attempt_start(context);
    return !last || now < *last;
}

// The time-out of an attempt that starts now: the client's, or the time
// left before the drain's deadline when that is shorter; none when less
// than a whole exchange is left, for no attempt starts then.
std::optional<std::chrono::milliseconds> attempt_time_limit(const SubmitWorkerContext& context,
                                                            const PoolClient& client) {
    const MonoTime now = context.clock();
    if (!time_for_an_attempt(context, now)) return std::nullopt;
    const std::optional<MonoTime> deadline = context.drain->deadline();
    if (!deadline) return client.agent.total_timeout();
    const auto left = std::chrono::floor<std::chrono::milliseconds>(*deadline - now);
    return std::min(left, client.agent.total_timeout());
}

bool block_expired(const Share& share, MonoTime now) { return now - share.found_at >= BLOCK_PATIENCE; }

constexpr std::string_view NOT_SENT_IN_TIME = "not sent before the shutdown deadline";
constexpr std::string_view NOT_SENT_AGAIN_IN_TIME = "not sent again before the shutdown deadline";
constexpr std::string_view FOUND_AFTER_THE_DRAIN = "found after the submissions ended";
constexpr std::string_view STILL_IN_FLIGHT = "its submission was still under way when the shutdown ended";

// Why a block left unsent at the shutdown was not sent.
std::string_view unsent_reason(const Share& block) {
    return block.maybe_delivered ? NOT_SENT_AGAIN_IN_TIME : NOT_SENT_IN_TIME;
}

// One line with all the operator needs to hand the block to the pool later:
// "block LOST" when no request for it reached the pool, "block UNCONFIRMED"
// when one went out unanswered, so that the pool may have it.
void report_undelivered_block(const Submission& s, std::string_view why, std::string_view failure) {
    count(s.counters.rejected);
    const std::string block = fmt::format("{} : {}", block_particulars(s), failure);
    if (s.share.maybe_delivered)
        console_out(ui_paint(fmt::format("[GPU{}]{} block UNCONFIRMED ({}) {} — a request for it went out "
                                         "unanswered: the pool may have it",
                                         s.share.gpu_ordinal, s.tag, why, block),
                             ORANGE));
    else
        console_out(ui_paint(fmt::format("[GPU{}]{} block LOST ({}) {}", s.share.gpu_ordinal, s.tag, why, block), RED));
}

// A block whose outcome is this worker's to report: false when the
// shutdown has taken it over, having stopped waiting for the worker.
bool outcome_is_ours(const SubmitWorkerContext& context, const Share& share) {
    return queue_settle(*context.mining.queue, share);
}

void report_lost_share(const Submission& s, std::string_view failure) {
    count(s.counters.rejected);
    console_out(ui_paint(
        fmt::format("[GPU{}]{} share LOST (network) job {} : {}", s.share.gpu_ordinal, s.tag, s.shown_id, failure),
        RED));
}

// Every attempt at the share (which `s` describes) failed on the transport,
// the last with `failure`. An ordinary share is lost. A block goes back into
// the queue for another round after its pause, unless it was found two
// minutes ago or that round could not start before the drain's end.
void after_transport_failures(const SubmitWorkerContext& context, const Submission& s, Share& share,
                              const std::string& failure) {
    if (!share.is_block) {
        report_lost_share(s, failure);
        return;
    }
    const MonoTime now = context.clock();
    const MonoTime retry_at = std::min(now + block_pause(share.failed_rounds + 1), share.found_at + BLOCK_PATIENCE);
    const std::optional<MonoTime> last = last_attempt_start(context);
    if (block_expired(share, now) || (last && retry_at >= *last)) {
        if (outcome_is_ours(context, share))
            report_undelivered_block(s, block_expired(share, now) ? "network" : "shutdown", failure);
        return;
    }
    share.failed_rounds += 1;
    share.retry_at = retry_at;
    const std::string kept = ui_paint(fmt::format("[GPU{}]{} soumission: {} — block kept, next try in {} s",
                                                  share.gpu_ordinal, s.tag, failure,
                                                  std::chrono::duration<double>(share.retry_at - now).count()),
                                      GREY);
    if (queue_requeue(*context.mining.queue, std::move(share))) console_out(kept);
}

// Sends the share, retrying a transport failure twice unless the worker is
// stopping or the block's time is up, and reports the outcome.
void submit_share(const SubmitWorkerContext& context, Share share) {
    const Submission s = describe(context, share);
    const nlohmann::json params = {
        {"job_id", s.job_id}, {"nonce", s.nonce_hex}, {"address", s.client.address}, {"worker", s.client.worker}};
    std::string failure;
    for (int attempt = 1;; ++attempt) {
        const std::optional<std::chrono::milliseconds> time_limit = attempt_time_limit(context, s.client);
        if (!time_limit) {
            if (failure.empty()) failure = unsent_reason(share);
            break;
        }
        auto answer = rpc_call(s.client, "quantus_submitWork", params, *time_limit);
        if (answer) {
            if (outcome_is_ours(context, share)) report_result(s, *answer);
            return;
        }
        if (const auto* pool_error = std::get_if<RpcPoolError>(&answer.error())) {
            if (outcome_is_ours(context, share)) report_pool_error(context, s, *pool_error);
            return;
        }
        const auto* network = std::get_if<NetworkError>(&answer.error());
        failure = console_safe(network ? network->text : std::get<UnsignedJobError>(answer.error()).text);
        if (network && network->request_sent) share.maybe_delivered = true;
        count(context.mining.stats->net_errors);
        if (attempt >= SUBMIT_ATTEMPTS || stop_requested(context) ||
            (share.is_block && block_expired(share, context.clock())))
            break;
        console_out(ui_paint(fmt::format("[GPU{}]{} soumission: {} — retry {}/{}", share.gpu_ordinal, s.tag, failure,
                                         attempt, SUBMIT_ATTEMPTS),
                             GREY));
        context.sleep(RETRY_PAUSE);
    }
    after_transport_failures(context, s, share, failure);
}

// With nothing to take while a block waits for its next round: sleep until
// it is due, or until the last moment an attempt may start, in short slices
// so that new shares are not kept waiting.
void wait_for_retry(const SubmitWorkerContext& context, MonoTime due) {
    const MonoTime now = context.clock();
    const std::optional<MonoTime> last = last_attempt_start(context);
    const MonoTime until = last ? std::min(due, *last) : due;
    context.sleep(std::clamp<std::chrono::steady_clock::duration>(until - now, std::chrono::steady_clock::duration::zero(),
                                                                   HELD_BACK_SLICE));
}

bool queue_closed(SubmitQueue& queue) {
    std::lock_guard lock(queue.lock);
    return queue.closed;
}

// From the stop flag on, a worker sends blocks only. The GPU workers push
// their last blocks for as long as their last batches take, and the queue is
// closed once they are joined: the drain's 10 s start there, whenever that
// is. Until no attempt can start any more, each block is sent by one worker,
// once a round; then every block still queued is reported. Ordinary shares
// are left unsent.
void drain_blocks(const SubmitWorkerContext& context) {
    SubmitQueue& queue = *context.mining.queue;
    for (;;) {
        const MonoTime now = context.clock();
        const bool closed = queue_closed(queue);
        if (closed) context.drain->begin(now);  // the shutdown has begun it already
        if (!time_for_an_attempt(context, now)) {
            report_blocks_left(context);
            return;
        }
        // A block whose next round would come after the last attempt may
        // start gets its attempt now: the pool may well be back.
        const MonoTime too_late = last_attempt_start(context).value_or(MonoTime::max());
        Taken taken = queue_take(queue, *context.mining.slot, {.now = now, .blocks_only = true, .too_late = too_late});
        if (taken.share)
            submit_share(context, std::move(*taken.share));
        else if (taken.retry_due)
            wait_for_retry(context, *taken.retry_due);
        else if (closed)
            return;  // no block left, and none to come
    }
}

}  // namespace

void report_blocks_left(const SubmitWorkerContext& context) {
    while (std::optional<Share> block =
               queue_take(*context.mining.queue, *context.mining.slot, {.now = MonoTime::max(), .blocks_only = true}).share) {
        if (!outcome_is_ours(context, *block)) continue;
        const Submission s = describe(context, *block);
        report_undelivered_block(s, "shutdown", unsent_reason(*block));
    }
}

void report_blocks_in_flight(const SubmitWorkerContext& context) {
    for (Share& block : queue_take_over_in_flight(*context.mining.queue)) {
        // Its worker may have written the request already: never called lost.
        block.maybe_delivered = true;
        const Submission s = describe(context, block);
        report_undelivered_block(s, "shutdown", STILL_IN_FLIGHT);
    }
}

void report_block_after_close(const SessionClients& submit_clients, MinerStats& stats, const Share& block) {
    const Submission s = describe(submit_clients, stats, steady_now(), block);
    report_undelivered_block(s, "shutdown", FOUND_AFTER_THE_DRAIN);
}

void submit_worker(const SubmitWorkerContext& context) {
    while (!stop_requested(context)) {
        Taken taken =
            queue_take(*context.mining.queue, *context.mining.slot, {.now = context.clock(), .stop_flag = context.mining.stop_flag.get()});
        if (taken.share)
            submit_share(context, std::move(*taken.share));
        else if (taken.retry_due)
            wait_for_retry(context, *taken.retry_due);
        else if (queue_closed(*context.mining.queue))
            break;  // a closed queue gets no more shares; taking again would only spin
    }
    drain_blocks(context);
}

double hash_difficulty(const Bytes64& hash) {
    std::size_t k = 0;
    while (k < hash.size() && hash[k] == 0) ++k;
    if (k == hash.size()) return std::numeric_limits<double>::infinity();
    double m = 0;
    for (std::size_t i = k; i < k + 8; ++i) m = m * 256 + (i < hash.size() ? hash[i] : 0);
    return std::pow(2.0, static_cast<double>(8 * k + 64)) / m;
}
