#include "tests/pool-bridge/bridge.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "src/base/hex.hpp"
#include "tests/pool-bridge/sockets.hpp"

using nlohmann::json;

namespace {

constexpr int INVALID_REQUEST = -32600;
constexpr int METHOD_NOT_FOUND = -32601;
constexpr int INVALID_PARAMS = -32602;
constexpr int INTERNAL_ERROR = -32603;
constexpr int PARSE_ERROR = -32700;
constexpr int BAD_NONCE_PREFIX = -32001;
constexpr int LOW_DIFFICULTY = -32002;
constexpr int STALE_SHARE = -32010;
constexpr int NO_JOB = -32011;
constexpr int DUPLICATE_SHARE = -32012;

std::string dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

struct RpcError {
    int code;
    std::string message;
    json data = nullptr;  // null: no "data" member
};

json error_answer(const json& id, const RpcError& error) {
    json body = {{"code", error.code}, {"message", error.message}};
    if (!error.data.is_null()) body["data"] = error.data;
    return {{"jsonrpc", "2.0"}, {"id", id}, {"error", body}};
}

RpcError invalid_params(std::string reason) { return {INVALID_PARAMS, "invalid params", {{"reason", reason}}}; }

void answer_json(httplib::Response& response, const json& body) {
    response.status = 200;
    response.set_content(dump(body), "application/json");
}

// Headers that cpp-httplib adds to a request itself.
bool added_by_library(std::string_view name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

std::optional<std::uint64_t> hop_number(std::string_view path) {
    if (!path.starts_with("/r/")) return std::nullopt;
    path.remove_prefix(3);
    std::uint64_t hop = 0;
    const auto [end, ec] = std::from_chars(path.data(), path.data() + path.size(), hop);
    if (path.empty() || ec != std::errc() || end != path.data() + path.size()) return std::nullopt;
    return hop;
}

void redirect_to_hop(httplib::Response& response, std::uint64_t hop) {
    response.set_redirect(fmt::format("/r/{}", hop), 307);
}

}  // namespace

RequestLog::~RequestLog() {
    if (file_) std::fclose(file_);
}

void RequestLog::write(const httplib::Request& request) {
    json headers = json::object();
    for (const auto& [name, value] : request.headers) {
        if (added_by_library(name)) continue;
        std::string lower = name;
        std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
        auto& entry = headers[lower];
        entry = entry.is_null() ? value : entry.get<std::string>() + ", " + value;
    }
    const auto arrived = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - opened_);
    const json line = {{"path", request.path},
                       {"target", request.target},
                       {"headers", headers},
                       {"body", request.body},
                       {"ms", arrived.count()}};
    const std::string text = dump(line) + "\n";
    std::lock_guard lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fflush(file_);
}

// The request body read as a JSON-RPC call.
struct Bridge::Call {
    bool parsed = false;  // the body is JSON
    bool valid = false;   // an object with "jsonrpc": "2.0" and a string "method"
    RequestKind kind = RequestKind::other;
    std::string method;
    json id = nullptr;
    json params;

    explicit Call(const std::string& body) {
        const json envelope = json::parse(body, nullptr, false);
        parsed = !envelope.is_discarded();
        if (!parsed || !envelope.is_object()) return;
        if (const auto it = envelope.find("id"); it != envelope.end()) id = *it;
        const auto method_it = envelope.find("method");
        if (method_it == envelope.end() || !method_it->is_string()) return;
        method = *method_it;
        if (method == "quantus_getBlockTemplate") kind = RequestKind::getwork;
        if (method == "quantus_submitWork") kind = RequestKind::submit;
        const auto version = envelope.find("jsonrpc");
        valid = version != envelope.end() && *version == "2.0";
        params = envelope.value("params", json());
    }
};

void Bridge::handle(const httplib::Request& request, httplib::Response& response) {
    const Call call(request.body);
    try {
        handle_call(request, response, call);
    } catch (const std::exception& e) {
        answer_json(response, error_answer(call.id, {INTERNAL_ERROR, "internal error", {{"reason", e.what()}}}));
    }
}

void Bridge::handle_call(const httplib::Request& request, httplib::Response& response, const Call& call) {
    if (call.valid && call.method == "bridge_counters") {
        answer_json(response, {{"jsonrpc", "2.0"}, {"id", call.id}, {"result", counters_json()}});
        return;
    }
    if (call.valid && call.method == "bridge_recover") {
        faults_.clear();
        recovered_ = true;
        answer_json(response, {{"jsonrpc", "2.0"}, {"id", call.id}, {"result", true}});
        return;
    }
    if (call.valid && call.method == "bridge_rotate") {
        const BridgeJob job = jobs_.rotate();
        answer_json(response,
                    {{"jsonrpc", "2.0"}, {"id", call.id}, {"result", {{"job_id", job.id}, {"height", job.height}}}});
        return;
    }

    if (log_) log_->write(request);
    ++(call.kind == RequestKind::getwork  ? counts_.getwork
       : call.kind == RequestKind::submit ? counts_.submit
                                          : counts_.other);
    if (follow_redirect_chain(request, response, call)) return;
    if (const auto fault = faults_.take(call.kind); fault && apply_fault(*fault, request, response, call)) return;
    answer_json(response, serve(call));
}

bool Bridge::follow_redirect_chain(const httplib::Request& request, httplib::Response& response, const Call& call) {
    const auto hop = hop_number(request.path);
    if (!hop) return false;
    {
        std::lock_guard lock(chain_mutex_);
        if (!chain_hops_ || *hop == 0 || (*chain_hops_ != 0 && *hop > *chain_hops_)) return false;
        if (*chain_hops_ == 0 || *hop < *chain_hops_) {
            redirect_to_hop(response, *hop + 1);
            return true;
        }
        chain_hops_.reset();
    }
    answer_json(response, serve(call));
    return true;
}

bool Bridge::apply_fault(const Fault& fault, const httplib::Request& request, httplib::Response& response,
                         const Call& call) {
    switch (fault.mode) {
        case FaultMode::no_work: {
            json data = nullptr;
            if (fault.retry_in_ms) data = {{"retry_in_ms", *fault.retry_in_ms}};
            answer_json(response, error_answer(call.id, {NO_JOB, "no job", data}));
            return true;
        }
        case FaultMode::served_reply:
            serve(call);
            [[fallthrough]];
        case FaultMode::reply:
            response.status = fault.status;
            response.set_content(fault.text, "application/json");
            return true;
        case FaultMode::reply_repeat: {
            std::string body;
            body.reserve(fault.text.size() * fault.repeat);
            for (std::uint64_t i = 0; i < fault.repeat; ++i) body += fault.text;
            response.status = fault.status;
            response.set_content(body, "text/plain; charset=utf-8");
            return true;
        }
        case FaultMode::redirect:
        case FaultMode::redirect_loop: {
            std::lock_guard lock(chain_mutex_);
            chain_hops_ = fault.mode == FaultMode::redirect ? fault.hops : 0;
            redirect_to_hop(response, 1);
            return true;
        }
        case FaultMode::delay:
            jobs_.sleep_for(std::chrono::milliseconds(fault.delay_ms));
            return false;
        case FaultMode::close:
            // The library then fails to write its response and drops the connection.
            shut_down_connections(request.local_port, request.remote_port);
            return true;
        case FaultMode::hang:
            // Accepted and not answered: held until the client's time-out
            // closes its end, then dropped without a word; or answered as
            // usual once the pool recovers.
            wait_for_client_to_leave(
                request.local_port, request.remote_port, [this] { return jobs_.stopped() || recovered_; },
                std::chrono::milliseconds(50));
            if (recovered_ && !jobs_.stopped()) return false;
            shut_down_connections(request.local_port, request.remote_port);
            return true;
        case FaultMode::stale:
            if (call.kind == RequestKind::getwork) {
                jobs_.make_current_stale();
                return false;
            }
            ++counts_.stale;
            answer_json(response, error_answer(call.id, {STALE_SHARE, "stale share"}));
            return true;
    }
    return false;
}

json Bridge::serve(const Call& call) {
    if (!call.parsed) return error_answer(nullptr, {PARSE_ERROR, "parse error"});
    if (!call.valid)
        return error_answer(call.id,
                            {INVALID_REQUEST,
                             "invalid request",
                             {{"reason", "expected an object with \"jsonrpc\": \"2.0\" and a string \"method\""}}});
    if (call.kind == RequestKind::getwork) return serve_getwork(call);
    if (call.kind == RequestKind::submit) return serve_submit(call);
    return error_answer(call.id, {METHOD_NOT_FOUND, "method not found"});
}

json Bridge::serve_getwork(const Call& call) {
    const json& params = call.params;
    if (!params.is_object()) return error_answer(call.id, invalid_params("params must be an object"));
    for (const char* key : {"address", "worker"})
        if (!params.contains(key) || !params[key].is_string())
            return error_answer(call.id, invalid_params(fmt::format("{} must be a string", key)));
    if (!params.contains("wait_ms") || !params["wait_ms"].is_number_unsigned())
        return error_answer(call.id, invalid_params("wait_ms must be an unsigned integer"));
    if (params.contains("current_job_id") && !params["current_job_id"].is_string())
        return error_answer(call.id, invalid_params("current_job_id must be a string"));
    if (params.contains("hashrate") && !params["hashrate"].is_number())
        return error_answer(call.id, invalid_params("hashrate must be a number"));

    BridgeJob job = rotate_every_answer_ ? jobs_.rotate() : jobs_.current();
    if (!rotate_every_answer_ && params.contains("current_job_id") && params["current_job_id"] == job.id) {
        const auto wait = std::min(params["wait_ms"].get<std::uint64_t>(), max_wait_ms_);
        job = jobs_.wait_for_change(job.id, std::chrono::milliseconds(wait));
    }
    return {{"jsonrpc", "2.0"},
            {"id", call.id},
            {"result", jobs_.template_json(job, params["address"].get_ref<const std::string&>())}};
}

json Bridge::serve_submit(const Call& call) {
    const json& params = call.params;
    const auto malformed = [&](std::string reason) {
        ++counts_.invalid;
        return error_answer(call.id, invalid_params(std::move(reason)));
    };
    if (!params.is_object()) return malformed("params must be an object");
    for (const char* key : {"job_id", "nonce", "address", "worker"})
        if (!params.contains(key) || !params[key].is_string())
            return malformed(fmt::format("{} must be a string", key));
    const std::string& nonce_text = params["nonce"].get_ref<const std::string&>();
    const auto nonce = nonce_text.size() == 128 ? hex_decode_array<64>(nonce_text)
                                                : Result<Bytes64>(std::unexpected(Error("wrong length")));
    if (!nonce) return malformed("nonce must be 128 hex digits");

    const auto reject = [&](std::atomic<std::uint64_t>& counter, int code, const char* message) {
        ++counter;
        return error_answer(call.id, {code, message});
    };
    const auto accept = [&](const char* status) {
        ++counts_.accepted;
        return json{{"jsonrpc", "2.0"},
                    {"id", call.id},
                    {"result", {{"status", status}, {"share_difficulty", jobs_.share_difficulty()}}}};
    };
    switch (jobs_.submit(params["job_id"].get_ref<const std::string&>(), *nonce)) {
        case SubmitVerdict::stale:
            return reject(counts_.stale, STALE_SHARE, "stale share");
        case SubmitVerdict::bad_prefix:
            return reject(counts_.invalid, BAD_NONCE_PREFIX, "bad nonce prefix");
        case SubmitVerdict::duplicate:
            return reject(counts_.duplicate, DUPLICATE_SHARE, "duplicate share");
        case SubmitVerdict::low_difficulty:
            return reject(counts_.invalid, LOW_DIFFICULTY, "low difficulty share");
        case SubmitVerdict::block:
            ++counts_.blocks;
            return accept("block");
        case SubmitVerdict::late:
            ++counts_.late;
            return accept("late");
        case SubmitVerdict::share:
            return accept("share");
    }
    return error_answer(call.id, {INTERNAL_ERROR, "internal error"});
}

json Bridge::counters_json() const {
    return {{"getwork", counts_.getwork.load()}, {"submit", counts_.submit.load()},
            {"other", counts_.other.load()},     {"accepted", counts_.accepted.load()},
            {"blocks", counts_.blocks.load()},   {"late", counts_.late.load()},
            {"stale", counts_.stale.load()},     {"duplicate", counts_.duplicate.load()},
            {"invalid", counts_.invalid.load()}};
}

std::string Bridge::counters_line() const {
    return fmt::format(
        "bridge counters: getwork={} submit={} other={} accepted={} blocks={} late={} stale={} duplicate={} invalid={}",
        counts_.getwork.load(), counts_.submit.load(), counts_.other.load(), counts_.accepted.load(),
        counts_.blocks.load(), counts_.late.load(), counts_.stale.load(), counts_.duplicate.load(),
        counts_.invalid.load());
}
