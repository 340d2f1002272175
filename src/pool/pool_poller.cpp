#include "src/pool/pool_poller.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "src/base/durations.hpp"
#include "src/base/hex.hpp"
#include "src/pool/job_line_throttle.hpp"
#include "src/pool/job_template.hpp"
#include "src/pool/masked_url.hpp"
#include "src/ui/colors.hpp"
#include "src/ui/console.hpp"
#include "src/ui/console_safe.hpp"

namespace {

using namespace std::chrono_literals;
using Duration = std::chrono::steady_clock::duration;

constexpr std::int64_t NO_WORK_CODE = -32011;
constexpr std::uint64_t DEFAULT_RETRY_MS = 500;
// The longest a pool's hint keeps the poller from asking again: the longest
// pause the poller takes on its own (its back-off and refusal retry), so a
// pool that has recovered is asked within it, whatever it once hinted.
constexpr std::uint64_t MAX_RETRY_MS = 10'000;
// The shortest time from one job request to the next unless the pool held
// the first: four requests a second at most. A pool that answers at once
// with the job the miner has, with a new job every time, or with no job and
// a hint of 0 ms, would otherwise get thousands a second and a core spinning
// on them; a quarter of a second is what a job change then waits at worst,
// little beside a job's seconds of life, and a pool that holds the
// long-poll, as pools do, never sees this floor.
constexpr std::uint64_t REQUEST_FLOOR_MS = 250;
constexpr auto REQUEST_FLOOR = std::chrono::milliseconds(REQUEST_FLOOR_MS);
constexpr auto SLICE = 50ms;
constexpr auto REFUSAL_RETRY = 10s;
constexpr auto REFUSAL_MESSAGE_EVERY = 30s;
constexpr auto FAILURE_MESSAGE_EVERY = 5s;
constexpr auto NO_JOB_WARNING_AFTER = 15s;
constexpr auto UNREACHABLE_DROP_AFTER = 60s;
constexpr std::uint64_t BACKOFF_CAP_S = 10;

// At least `limit` whole seconds from `since` to `now`; a clock reading
// earlier than `since` counts as not yet.
bool whole_seconds_passed(MonoTime since, MonoTime now, std::chrono::seconds limit) {
    return now >= since && std::chrono::duration_cast<std::chrono::seconds>(now - since) >= limit;
}

class Poller {
public:
    explicit Poller(const PollerContext& context)
        : c_(context),
          last_answer_at_(c_.clock()),
          last_warning_at_(last_answer_at_ - 60s) {}

    void run() {
        while (!stopped()) turn();
    }

private:
    bool stopped() const { return c_.mining.stop_flag->load(); }

    // Stops once `wanted` has passed since the wait began or the stop flag
    // is set, looking at both every slice.
    void wait(Duration wanted) {
        const MonoTime start = c_.clock();
        for (Duration waited{}; waited < wanted && !stopped(); waited = c_.clock() - start)
            c_.sleep(std::min<Duration>(SLICE, wanted - waited));
    }

    void turn() {
        const MonoTime now = c_.clock();
        if (auto count = job_lines_.due_count(now)) console_out(*count);
        const bool session_is_dev = devfee_tick(*c_.devfee, now);
        PoolClient& client = c_.clients->of_session(session_is_dev);
        const std::shared_ptr<const Job> cur = job_slot_get(*c_.mining.slot).second;

        const std::uint64_t wait_ms = devfee_wait_ms(*c_.devfee, now, c_.wait_ms);
        nlohmann::json params = template_request_params(client, wait_ms, cur.get(), session_is_dev,
                                                        hashrate_estimate(*c_.meter, c_.clock()));

        const MonoTime asked_at = c_.clock();
        auto result = rpc_call(client, "quantus_getBlockTemplate", std::move(params));
        // A stopping miner installs nothing: the answer of a long-poll that
        // the shutdown cut off, or that came as the process ends, is dropped.
        if (stopped()) return;
        if (!result) {
            handle_failure(result.error(), cur.get());
            return;
        }
        TemplateResult parsed = parse_template(*result, client);
        if (auto* job = std::get_if<std::shared_ptr<const Job>>(&parsed)) {
            const bool changed = install_if_changed(std::move(*job), cur.get());
            pace_after_answer(asked_at, wait_ms, changed);
        } else if (auto* refusal = std::get_if<SignatureRefusal>(&parsed)) {
            handle_failure(UnsignedJobError{refusal->text}, cur.get());
        } else {
            const Error& error = std::get<TemplateError>(parsed).error;
            const std::string copy = result->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            handle_failure(NetworkError{fmt::format("invalid template: {} ({})", error.chain(),
                                                    pool_text_cut(copy, SHOWN_TEMPLATE_CHARS))},
                           cur.get());
        }
    }

    // True when the job differs from the current one, and was installed.
    bool install_if_changed(std::shared_ptr<const Job> job, const Job* cur) {
        MinerStats& stats = *c_.mining.stats;
        count(stats.jobs_received);
        last_answer_at_ = c_.clock();
        const auto kind = classify_job_change(cur, *job);
        if (kind) {
            for (const std::string& line : job_lines_.on_job(last_answer_at_, job_line(*job, *kind))) console_out(line);
            count(stats.jobs_changed);
            job_slot_install(*c_.mining.slot, std::move(job));
            const std::size_t abandoned = queue_retain(*c_.mining.queue, live_pred());
            if (abandoned > 0) console_out(fmt::format("[pool] {} candidate(s) abandoned: job expired", abandoned));
        }
        backoff_s_ = 1;
        pool_answered_ = true;
        return kind.has_value();
    }

    // The pool held the request, waiting for a change, when it kept it at
    // least the floor. However short a wait was asked (--wait-ms 1), an
    // answer sooner than the floor is no hold: the floor holds whatever the
    // wait.
    static bool pool_held(Duration took, std::uint64_t wait_ms) { return wait_ms > 0 && took >= REQUEST_FLOOR; }

    // Asks again at once after a held long-poll, and after a new job that
    // follows one (the long-poll for the next change); otherwise not before
    // the floor from the start of the request just answered.
    void pace_after_answer(MonoTime asked_at, std::uint64_t wait_ms, bool new_job) {
        const Duration took = c_.clock() - asked_at;
        const bool held = pool_held(took, wait_ms);
        const bool at_once = held || (new_job && previous_held_);
        previous_held_ = held;
        if (!at_once) wait(REQUEST_FLOOR - took);
    }

    void handle_failure(const RpcError& error, const Job* cur) {
        previous_held_ = true;  // every failure waits at least the floor
        if (const auto* pool = std::get_if<RpcPoolError>(&error); pool && pool->code == NO_WORK_CODE)
            return handle_no_work(*pool, cur);
        count(c_.mining.stats->net_errors);
        if (const auto* refused = std::get_if<UnsignedJobError>(&error)) return handle_refusal(refused->text);
        handle_other_failure(error, cur);
    }

    void handle_refusal(const std::string& text) {
        const MonoTime now = c_.clock();
        if (whole_seconds_passed(last_warning_at_, now, REFUSAL_MESSAGE_EVERY)) {
            console_out(ui_paint(
                fmt::format("[pool] JOB REFUSED from {}: {}.\n"
                            "[pool] a job that carries an OvikPool signature must verify with the OvikPool key, and\n"
                            "[pool] --require-signed-jobs refuses unsigned jobs. Nothing is being mined; retrying "
                            "every 10 s.",
                            masked_url(c_.clients->user->pool_url), console_safe(text)),
                RED));
            last_warning_at_ = now;
        }
        wait(REFUSAL_RETRY);
    }

    // The pool's "retry_in_ms" when it is a count of milliseconds.
    static std::uint64_t asked_retry_ms(const RpcPoolError& error) {
        if (!error.data.is_object()) return DEFAULT_RETRY_MS;
        const auto it = error.data.find("retry_in_ms");
        if (it == error.data.end() || !it->is_number_integer()) return DEFAULT_RETRY_MS;
        if (!it->is_number_unsigned() && it->get<std::int64_t>() < 0) return DEFAULT_RETRY_MS;
        return it->get<std::uint64_t>();
    }

    void handle_no_work(const RpcPoolError& error, const Job* cur) {
        const std::uint64_t asked_ms = asked_retry_ms(error);
        const std::uint64_t retry_ms = std::clamp(asked_ms, REQUEST_FLOOR_MS, MAX_RETRY_MS);
        if (cur) {
            const std::string asked = asked_ms == retry_ms ? "" : fmt::format(" (the pool asked {} ms)", asked_ms);
            console_out(
                fmt::format("[pool] no job available (-32011) — GPUs paused, retry in {} ms{}", retry_ms, asked));
        }
        job_slot_clear(*c_.mining.slot);
        queue_retain(*c_.mining.queue, live_pred());
        last_answer_at_ = c_.clock();
        pool_answered_ = true;
        wait(duration_from_ms(retry_ms));
    }

    void handle_other_failure(const RpcError& error, const Job* cur) {
        const MonoTime now = c_.clock();
        if (whole_seconds_passed(last_warning_at_, now, FAILURE_MESSAGE_EVERY)) {
            console_out(fmt::format("[pool] getBlockTemplate: {} — retry in {} s", console_safe(rpc_error_fmt(error)),
                                    backoff_s_));
            last_warning_at_ = now;
        }
        if (!pool_answered_ && !no_job_warning_shown_ && whole_seconds_passed(last_answer_at_, now, NO_JOB_WARNING_AFTER)) {
            console_out(ui_paint(no_job_block(), RED));
            no_job_warning_shown_ = true;
        }
        if (now - last_answer_at_ > UNREACHABLE_DROP_AFTER && cur) {
            console_out("[pool] unreachable for 60 s: job dropped, GPUs paused");
            job_slot_clear(*c_.mining.slot);
            queue_retain(*c_.mining.queue, [](std::string_view job_id) { return job_id_equals(std::nullopt, job_id); });
        }
        wait(std::chrono::seconds(backoff_s_));
        backoff_s_ = std::min(backoff_s_, BACKOFF_CAP_S / 2) * 2;
    }

    std::string no_job_block() const {
        return fmt::format(
            "[pool] NO JOB EVER RECEIVED from {} — nothing is being mined.\n"
            "[pool] check, in this order:\n"
            "[pool]   1. the pool URL: it must be the getwork endpoint given by the pool\n"
            "[pool]      (a website hostname behind an HTTP proxy does NOT relay this port)\n"
            "[pool]   2. the port is open from this machine: curl -sv <url> (or telnet host port)\n"
            "[pool]   3. the address passed to --address starts with qz and is yours\n"
            "[pool] the miner keeps retrying; this message is printed once.",
            masked_url(c_.clients->user->pool_url));
    }

    static std::string job_line(const Job& job, std::string_view kind) {
        return fmt::format("{} job {} [{}] ({}) height {} share diff {} / net {} prefix {} hash {}…",
                           ui_paint("[pool]", DARK_GREY), ui_paint(console_safe_cut(job.job_id), BOLD),
                           job.is_dev ? "dev" : "user", kind, job.height ? std::to_string(*job.height) : "?",
                           console_safe(job.share_difficulty), console_safe(job.net_difficulty),
                           hex_encode(job.nonce_prefix),
                           hex_encode(job.mining_hash).substr(0, 16));
    }

    JobPredicate live_pred() const {
        return [slot = c_.mining.slot](std::string_view job_id) { return job_is_live_pred(slot, job_id); };
    }

    const PollerContext& c_;
    std::uint64_t backoff_s_ = 1;
    MonoTime last_answer_at_;
    MonoTime last_warning_at_;
    bool pool_answered_ = false;
    bool no_job_warning_shown_ = false;
    // The answer before the last was held, or a failure waited after it: a
    // new job answered at once may then be followed at once.
    bool previous_held_ = true;
    JobLineThrottle job_lines_;
};

}  // namespace

nlohmann::json template_request_params(const PoolClient& client, std::uint64_t wait_ms, const Job* cur,
                                       bool session_is_dev, std::optional<double> hashrate) {
    nlohmann::json params = {{"address", client.address}, {"worker", client.worker}, {"wait_ms", wait_ms}};
    if (cur && cur->is_dev == session_is_dev) params["current_job_id"] = cur->job_id;
    if (hashrate && std::isfinite(*hashrate) && *hashrate >= 1.0) params["hashrate"] = *hashrate;
    return params;
}

std::optional<std::string_view> classify_job_change(const Job* cur, const Job& job) {
    if (cur == nullptr) return "new";
    if (cur->is_dev != job.is_dev) return "dev fee session";
    if (cur->job_id == job.job_id && cur->share_target == job.share_target && cur->nonce_prefix == job.nonce_prefix &&
        cur->mining_hash == job.mining_hash)
        return std::nullopt;
    if (cur->mining_hash != job.mining_hash) return "new";
    if (job_id_prefix(cur->job_id) != job_id_prefix(job.job_id)) return "new";
    if (cur->job_id == job.job_id) return "target/prefix updated";
    return "same template, share difficulty updated — counter kept";
}

void pool_poller(const PollerContext& context) {
    if (context.mining.stop_flag->load()) return;
    Poller(context).run();
}

void pool_poller_thread(PollerContext context) { pool_poller(context); }
