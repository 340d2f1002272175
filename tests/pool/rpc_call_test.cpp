#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "src/pool/pool_client.hpp"
#include "tests/pool-bridge/bridge_process.hpp"

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

std::string outcome(const std::expected<json, RpcError>& result) {
    return result ? "ok " + result->dump() : rpc_error_fmt(result.error());
}

std::vector<json> logged_requests(const std::filesystem::path& log) {
    std::vector<json> requests;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) requests.push_back(json::parse(line));
    return requests;
}

std::filesystem::path temp_file(const std::string& name) {
    const auto dir = std::filesystem::path(testing::TempDir()) / "ovik_rpc";
    std::filesystem::create_directories(dir);
    std::filesystem::remove(dir / name);
    return dir / name;
}

// The bridge's control methods are neither logged nor subject to faults;
// the job request is.
const std::string GETWORK = "quantus_getBlockTemplate";
const json GETWORK_PARAMS = {{"address", "qz"}, {"worker", "w"}, {"wait_ms", 0}};

std::string repeated(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

}  // namespace

TEST(PoolClient, GetworkTimeOutIsTheLongPollPlus15sNeverWrapped) {
    const std::chrono::milliseconds longest(9223372036854);  // the clock's range, in whole ms
    struct Case {
        std::uint64_t wait_ms;
        std::chrono::milliseconds timeout;
    };
    const Case cases[] = {
        {0, 15s},
        {20000, 35s},
        {UINT64_MAX - 14999, longest},  // once 0 ms: every long-poll failed at once
        {UINT64_MAX, longest},          // once 14.999 s
    };
    for (const Case& c : cases) EXPECT_EQ(getwork_timeout(c.wait_ms), c.timeout) << c.wait_ms;
}

TEST(RpcCall, SendsTheSortedCompactEnvelopeWithItsHeaders) {
    const auto log = temp_file("envelope.jsonl");
    BridgeProcess bridge({"--log-requests", log.string()});
    const auto client = pool_client_new(bridge.url(), "qzAddr", "rig", 5s, false);
    json params = json::object();
    params["worker"] = "rig";
    params["address"] = "qzAddr";
    params["nested"] = {{"z", 1}, {"a", "é"}};
    params["wait_ms"] = 0;
    ASSERT_TRUE(rpc_call(*client, GETWORK, params));
    ASSERT_TRUE(rpc_call(*client, GETWORK, GETWORK_PARAMS));

    const auto requests = logged_requests(log);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["body"],
              "{\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"quantus_getBlockTemplate\",\"params\":{\"address\":"
              "\"qzAddr\",\"nested\":{\"a\":\"\xc3\xa9\",\"z\":1},\"wait_ms\":0,\"worker\":\"rig\"}}");
    EXPECT_EQ(requests[1]["body"], "{\"id\":2,\"jsonrpc\":\"2.0\",\"method\":\"quantus_getBlockTemplate\","
                                   "\"params\":{\"address\":\"qz\",\"wait_ms\":0,\"worker\":\"w\"}}");
    const json& headers = requests[0]["headers"];
    EXPECT_EQ(headers["content-type"], "application/json");
    EXPECT_EQ(headers["user-agent"], "ureq/2.12.1");
    EXPECT_EQ(headers["accept"], "*/*");
    EXPECT_EQ(headers["content-length"], std::to_string(requests[0]["body"].get<std::string>().size()));
    EXPECT_FALSE(headers.contains("expect"));
    EXPECT_EQ(requests[0]["path"], "/");
}

TEST(RpcCall, IdsAreDistinctUnderConcurrency) {
    const auto log = temp_file("ids.jsonl");
    BridgeProcess bridge({"--log-requests", log.string()});
    const auto client = pool_client_new(bridge.url(), "qz", "w", 5s, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) EXPECT_TRUE(rpc_call(*client, GETWORK, GETWORK_PARAMS));
        });
    for (auto& thread : threads) thread.join();
    std::set<std::uint64_t> ids;
    for (const json& request : logged_requests(log)) ids.insert(json::parse(request["body"].get<std::string>())["id"].get<std::uint64_t>());
    EXPECT_EQ(ids.size(), 40u);
    EXPECT_EQ(*ids.begin(), 1u);
    EXPECT_EQ(*ids.rbegin(), 40u);
    // Another client counts from 1 on its own.
    const auto other = pool_client_new(bridge.url(), "qz", "w", 5s, false);
    EXPECT_EQ(other->next_id.load(), 1u);
}

// A network error also says whether the request went out without an
// answer that tells what became of it: then the pool may have acted on it.
// A 5xx may come from a gateway that passed the request on, so the pool may
// have it; a status from 400 to 499 is a refusal.
TEST(RpcCall, ClassifiesEveryKindOfAnswer) {
    struct Case {
        std::string fault;    // the bridge's answer to this call
        std::string outcome;  // exact, or a prefix when it ends with "…"
        bool sent = false;    // a network error's `request_sent`
    };
    const std::string x200 = repeated("x", 200);
    const std::string e200 = repeated("\xc3\xa9", 200);
    const Case cases[] = {
        {"any:reply-repeat:503:300:x", "network: HTTP 503: " + x200, true},
        {"any:reply-repeat:503:300:\xc3\xa9", "network: HTTP 503: " + e200, true},
        {"any:reply-repeat:500:10485761:x", "network: HTTP 500: ", true},
        {"any:reply:502:bad gateway", "network: HTTP 502: bad gateway", true},
        {"any:reply:504:", "network: HTTP 504: ", true},
        {"any:reply:499:", "network: HTTP 499: "},
        {"any:reply:404:", "network: HTTP 404: "},
        {"any:reply:400:\xff\xfe", "network: HTTP 400: \xef\xbf\xbd\xef\xbf\xbd"},
        {"any:reply:200:OK", "network: JSON illisible: Failed to read JSON: …", true},
        {"any:reply:200:{\"result\":1} {\"result\":2}", "network: JSON illisible: Failed to read JSON: …", true},
        {"any:reply-repeat:200:10485761:x", "network: JSON illisible: body longer than 10485760 bytes", true},
        {"any:reply-repeat:200:100000:[", "network: JSON illisible: Failed to read JSON: nested deeper than 512 levels",
         true},
        {"any:reply:200:{\"result\":5}\n", "ok 5"},
        {"any:reply:200:{\"result\":null}", "ok null"},
        {"any:reply:200:{\"error\":null,\"result\":5}", "ok 5"},
        {"any:reply:200:{\"id\":99,\"result\":\"x\"}", "ok \"x\""},
        {"any:reply:200:{\"error\":{\"code\":-32010,\"message\":\"stale share\"}}", "RPC -32010: stale share"},
        {"any:reply:200:{\"error\":{\"code\":1.5,\"message\":7},\"result\":1}", "RPC 0: "},
        {"any:reply:200:{\"error\":{\"code\":18446744073709551615}}", "RPC 0: "},
        {"any:reply:200:{\"error\":\"boom\"}", "RPC 0: "},
        {"any:reply:200:[1]", "network: réponse sans result", true},
        {"any:reply:200:5", "network: réponse sans result", true},
        {"any:reply:200:{}", "network: réponse sans result", true},
        {"any:no-work:20", "RPC -32011: …"},
        {"any:redirect:5", "ok {…"},
        {"any:redirect:6", "network: Maximum (5) redirects followed", true},
        {"any:redirect-loop", "network: Maximum (5) redirects followed", true},
        {"any:delay:1500", "network: Operation timed out after …", true},
        {"any:close", "network: …", true},
    };
    std::vector<std::string> args;
    for (const Case& c : cases) args.insert(args.end(), {"--fault", c.fault});
    BridgeProcess bridge(args);
    // Ten seconds for the bodies of 10 MB on a loaded machine; the delayed
    // answer meets a client of one second.
    const auto client = pool_client_new(bridge.url(), "qz", "w", 10s, false);
    const auto impatient = pool_client_new(bridge.url(), "qz", "w", 1000ms, false);
    for (const Case& c : cases) {
        PoolClient& asking = c.fault.starts_with("any:delay") ? *impatient : *client;
        const auto result = rpc_call(asking, GETWORK, GETWORK_PARAMS);
        const std::string got = outcome(result);
        if (const auto* network = result ? nullptr : std::get_if<NetworkError>(&result.error())) {
            EXPECT_EQ(network->request_sent, c.sent) << c.fault;
        }
        if (c.outcome.ends_with("…"))
            EXPECT_TRUE(got.starts_with(c.outcome.substr(0, c.outcome.size() - 3))) << c.fault << " gave " << got;
        else
            EXPECT_EQ(got, c.outcome) << c.fault;
    }
}

// What an error shows of a long answer is cut: a pool's message, and the
// parser's quote of what it read.
TEST(RpcCall, ErrorsShowLongAnswersCut) {
    const std::string long_message = repeated("m", 100000);
    BridgeProcess bridge({"--fault", "any:reply:200:{\"error\":{\"code\":-1,\"message\":\"" + long_message + "\"}}",
                          "--fault", "any:reply:200:\"" + repeated("x", 100000)});
    const auto client = pool_client_new(bridge.url(), "qz", "w", 5s, false);
    const auto refused = rpc_call(*client, GETWORK, GETWORK_PARAMS);
    ASSERT_FALSE(refused);
    EXPECT_EQ(std::get<RpcPoolError>(refused.error()).message, long_message) << "the error keeps the pool's text";
    EXPECT_EQ(outcome(refused), "RPC -1: " + repeated("m", 200) + "…[100000 bytes in all]");
    const std::string unreadable = outcome(rpc_call(*client, GETWORK, GETWORK_PARAMS));
    EXPECT_TRUE(unreadable.starts_with("network: JSON illisible: Failed to read JSON: [json.exception.parse_error"))
        << unreadable.substr(0, 300);
    EXPECT_TRUE(unreadable.ends_with(" bytes in all]")) << unreadable.substr(0, 300);
    EXPECT_LT(unreadable.size(), 300u);
}

TEST(RpcCall, PoolErrorsKeepCodeMessageAndData) {
    BridgeProcess bridge({"--fault", "any:no-work:20"});
    const auto client = pool_client_new(bridge.url(), "qz", "w", 5s, false);
    const auto result = rpc_call(*client, GETWORK, GETWORK_PARAMS);
    ASSERT_FALSE(result);
    const auto* error = std::get_if<RpcPoolError>(&result.error());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, -32011);
    EXPECT_EQ(error->data, (json{{"retry_in_ms", 20}}));
    EXPECT_EQ(rpc_error_fmt(UnsignedJobError{"x"}), "unsigned job: x");
}

TEST(RpcCall, RefusesHttpsAndReportsUnreachablePools) {
    const auto log = temp_file("https.jsonl");
    BridgeProcess bridge({"--log-requests", log.string()});
    const std::string https = "https://127.0.0.1:" + std::to_string(bridge.port()) + "/";
    for (const std::string& url : {https, std::string("http://127.0.0.1:1/"), std::string("not a url")}) {
        const auto client = pool_client_new(url, "qz", "w", 2s, false);
        const auto result = rpc_call(*client, GETWORK, GETWORK_PARAMS);
        ASSERT_FALSE(result) << url;
        ASSERT_TRUE(std::holds_alternative<NetworkError>(result.error())) << url;
        EXPECT_TRUE(rpc_error_fmt(result.error()).starts_with("network: ")) << url;
        EXPECT_FALSE(std::get<NetworkError>(result.error()).request_sent) << url;
    }
    EXPECT_TRUE(logged_requests(log).empty());  // nothing was written to the bridge
}

// A call may ask for less time than the client's time-out. Aborting the
// agent's transfers cuts off the call in flight, here on a kept-alive
// connection, and every later call fails before it is sent.
TEST(RpcCall, TimeLimitAndAbort) {
    BridgeProcess bridge({"--fault", "any:delay:0@1", "--fault", "any:hang@2"});
    const auto client = pool_client_new(bridge.url(), "qz", "w", 10s, false);
    ASSERT_TRUE(rpc_call(*client, GETWORK, GETWORK_PARAMS));  // leaves its connection open for the next call
    std::thread cut([&] {
        while (bridge.counters().getwork < 2) std::this_thread::sleep_for(5ms);
        client->agent.abort_transfers();
    });
    const auto in_flight = rpc_call(*client, GETWORK, GETWORK_PARAMS);
    cut.join();
    EXPECT_EQ(outcome(in_flight), "network: transfer cut off: the miner is stopping");
    EXPECT_TRUE(std::get<NetworkError>(in_flight.error()).request_sent) << "cut off after it went out";
    const auto after = rpc_call(*client, GETWORK, GETWORK_PARAMS);
    EXPECT_EQ(outcome(after), "network: transfer cut off: the miner is stopping");
    EXPECT_FALSE(std::get<NetworkError>(after.error()).request_sent);
    EXPECT_EQ(bridge.counters().getwork, 2u) << "the call after the abort was not sent";

    const auto other = pool_client_new(bridge.url(), "qz", "w", 10s, false);
    const auto limited = rpc_call(*other, GETWORK, GETWORK_PARAMS, 200ms);
    EXPECT_TRUE(outcome(limited).starts_with("network: Operation timed out after ")) << outcome(limited);
}
