#include "src/pool/submit_worker.hpp"

#include <fmt/format.h>

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
// How long a stopping worker waits for the shutdown to close the queue.
constexpr auto CLOSE_WAIT_LIMIT = 30s;

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

bool stop_requested(const SubmitWorkerContext& context) { return context.stop_flag->load(); }

// Everything about one share that the outcome lines need.
struct Submission {
    const Share& share;
    std::string job_id;   // the pool's exact bytes: sent back, compared
    std::string shown_id;  // the same as the console may show it
    std::string nonce_hex;
    std::string tag;
    std::string diff;  // fixed-point, three decimals
    long long waited_ms;
    SessionCounters& counters;
    PoolClient& client;
};

Submission describe(const SubmitWorkerContext& context, const Share& share) {
    const bool is_dev = share.job->is_dev;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(context.clock() - share.found_at);
    PoolClient& client = is_dev && context.clients->dev ? *context.clients->dev : *context.clients->user;
    return Submission{
        .share = share,
        .job_id = share.job->job_id,
        .shown_id = console_safe(share.job->job_id),
        .nonce_hex = hex_encode(share.nonce),
        .tag = is_dev ? ui_paint(" [dev fee]", ORANGE) : "",
        .diff = fmt::format("{:.3f}", hash_difficulty(share.hash)),
        .waited_ms = waited.count() > 0 ? static_cast<long long>(waited.count()) : 0,
        .counters = context.stats->session(is_dev),
        .client = client,
    };
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
                                 console_safe(error.message)),
                     RED));
        job_slot_mark_stale(*context.slot, s.job_id);
    } else {
        count(s.counters.rejected);
        console_out(ui_paint(fmt::format("[GPU{}]{} share REJECTED job {} ({}: {} {}) hash {}… diff≈{}", gpu, s.tag,
                                         s.shown_id, error.code, console_safe(error.message),
                                         console_safe(json_text(error.data)),
                                         hex_head(s.share.hash, 12), s.diff),
                             RED));
    }
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
                                console_safe(next_difficulty_text(result))));
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
                                console_safe(status), s.shown_id, s.share.is_block));
    }
}

// Sends the share, retrying a transport failure twice unless the worker is
// stopping, and reports the outcome.
void submit_share(const SubmitWorkerContext& context, const Share& share) {
    const Submission s = describe(context, share);
    const nlohmann::json params = {
        {"job_id", s.job_id}, {"nonce", s.nonce_hex}, {"address", s.client.address}, {"worker", s.client.worker}};
    for (int attempt = 1;; ++attempt) {
        auto answer = rpc_call(s.client, "quantus_submitWork", params);
        if (answer) {
            report_result(s, *answer);
            return;
        }
        if (const auto* pool_error = std::get_if<RpcPoolError>(&answer.error())) {
            report_pool_error(context, s, *pool_error);
            return;
        }
        const auto* network = std::get_if<NetworkError>(&answer.error());
        const std::string text =
            console_safe(network ? network->text : std::get<UnsignedJobError>(answer.error()).text);
        count(context.stats->net_errors);
        if (attempt < SUBMIT_ATTEMPTS && !stop_requested(context)) {
            console_out(ui_paint(fmt::format("[GPU{}]{} soumission: {} — retry {}/{}", share.gpu_ordinal, s.tag, text,
                                             attempt, SUBMIT_ATTEMPTS),
                                 GREY));
            context.sleep(RETRY_PAUSE);
            continue;
        }
        count(s.counters.rejected);
        console_out(ui_paint(
            fmt::format("[GPU{}]{} share LOST (network) job {} : {}", share.gpu_ordinal, s.tag, s.shown_id, text),
            RED));
        return;
    }
}

// The GPU workers may still push their last shares after the stop flag is
// set; the queue is closed once they are joined. Until then wait, and then
// send the blocks left over, each by one worker and once.
void drain_blocks(const SubmitWorkerContext& context) {
    SubmitQueue& queue = *context.queue;
    {
        const auto give_up = std::chrono::steady_clock::now() + CLOSE_WAIT_LIMIT;
        std::unique_lock lock(queue.lock);
        while (!queue.closed && std::chrono::steady_clock::now() < give_up)
            queue.wakeup.wait_for(lock, TAKE_WAIT_SLICE);
    }
    for (;;) {
        std::optional<Share> block;
        {
            std::lock_guard lock(queue.lock);
            // Blocks rank first, so the front is the only candidate.
            if (queue.shares.empty() || !queue.shares.front().is_block) return;
            block = std::move(queue.shares.front());
            queue.shares.erase(queue.shares.begin());
        }
        submit_share(context, *block);  // the stop flag allows one attempt
    }
}

bool queue_closed(SubmitQueue& queue) {
    std::lock_guard lock(queue.lock);
    return queue.closed;
}

}  // namespace

void submit_worker(const SubmitWorkerContext& context) {
    while (!stop_requested(context)) {
        if (std::optional<Share> share = queue_take(*context.queue, *context.slot))
            submit_share(context, *share);
        else if (queue_closed(*context.queue))
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
