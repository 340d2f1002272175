#include <fmt/format.h>

#include "src/base/durations.hpp"
#include "src/base/unicode.hpp"
#include "src/pool/pool_client.hpp"
#include "src/ui/console_safe.hpp"

namespace {

// Deeper answers are refused: no pool answer needs them, and a deep value
// would cost deep recursion wherever it is printed.
constexpr int MAX_JSON_DEPTH = 512;

// An HTTP error's body is shown as far as any pool text is (unmarked: the
// error's text is fixed).
constexpr std::size_t HTTP_ERROR_BODY_CHARS = SHOWN_POOL_TEXT_CHARS;

struct JsonTooDeep {};

std::expected<nlohmann::json, std::string> parse_answer(const std::string& body) {
    try {
        return nlohmann::json::parse(body, [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth > MAX_JSON_DEPTH) throw JsonTooDeep{};
            return true;
        });
    } catch (const JsonTooDeep&) {
        return std::unexpected(fmt::format("Failed to read JSON: nested deeper than {} levels", MAX_JSON_DEPTH));
    } catch (const nlohmann::json::exception& e) {
        // The parser's message quotes what it read of the answer, which may be megabytes.
        return std::unexpected(fmt::format("Failed to read JSON: {}", pool_text_cut(e.what())));
    }
}

// "code" counts only as an integer that fits a signed 64-bit value.
std::int64_t error_code(const nlohmann::json& error) {
    const auto code = error.find("code");
    if (code == error.end()) return 0;
    if (code->is_number_unsigned())
        return code->get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX) ? code->get<std::int64_t>() : 0;
    if (code->is_number_integer()) return code->get<std::int64_t>();
    return 0;
}

RpcPoolError pool_error(const nlohmann::json& error) {
    if (!error.is_object()) return {};
    RpcPoolError e;
    e.code = error_code(error);
    if (const auto message = error.find("message"); message != error.end() && message->is_string())
        e.message = message->get<std::string>();
    if (const auto data = error.find("data"); data != error.end()) e.data = *data;
    return e;
}

}  // namespace

std::expected<nlohmann::json, RpcError> classify_rpc_answer(long status, const std::string& body,
                                                            const std::optional<std::string>& read_error) {
    if (status >= 400) {
        const std::string text = read_error ? "" : utf8_lossy(body);
        // A 5xx may come from a gateway that passed the request on: the pool
        // may have it. Below 500 the request was refused before the pool.
        const bool may_have_reached_the_pool = status >= 500;
        return std::unexpected(NetworkError{
            fmt::format("HTTP {}: {}", status, first_scalar_values(text, HTTP_ERROR_BODY_CHARS)),
            may_have_reached_the_pool});
    }
    // From here on an answer came: the pool had the request.
    if (read_error)
        return std::unexpected(NetworkError{fmt::format("JSON illisible: {}", *read_error), true});
    auto answer = parse_answer(body);
    if (!answer) return std::unexpected(NetworkError{fmt::format("JSON illisible: {}", answer.error()), true});
    if (answer->is_object()) {
        if (const auto error = answer->find("error"); error != answer->end() && !error->is_null())
            return std::unexpected(pool_error(*error));
        if (const auto result = answer->find("result"); result != answer->end()) return std::move(*result);
    }
    return std::unexpected(NetworkError{"réponse sans result", true});
}

std::chrono::milliseconds getwork_timeout(std::uint64_t wait_ms) {
    using namespace std::chrono_literals;
    return std::chrono::duration_cast<std::chrono::milliseconds>(saturating_add(duration_from_ms(wait_ms), 15s));
}

std::shared_ptr<PoolClient> pool_client_new(std::string pool_url, std::string address, std::string worker,
                                            std::chrono::milliseconds total_timeout, bool is_dev) {
    return std::make_shared<PoolClient>(std::move(pool_url), std::move(address), std::move(worker), total_timeout,
                                        is_dev);
}

std::expected<nlohmann::json, RpcError> rpc_call(PoolClient& client, const std::string& method,
                                                 nlohmann::json params,
                                                 std::optional<std::chrono::milliseconds> time_limit) {
    const std::uint64_t id = client.next_id.fetch_add(1);
    // json objects keep their members sorted by key at every depth, and dump()
    // writes them compactly: "id", "jsonrpc", "method", "params".
    const nlohmann::json envelope = {
        {"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
    auto outcome = client.agent.post_json(
        client.pool_url, envelope.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), time_limit);
    if (auto* failure = std::get_if<HttpFailure>(&outcome))
        return std::unexpected(NetworkError{failure->text, failure->request_sent});
    const auto& response = std::get<HttpResponse>(outcome);
    return classify_rpc_answer(response.status, response.body, response.read_error);
}
