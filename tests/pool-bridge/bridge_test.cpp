#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/hex.hpp"
#include "src/pool/job_template.hpp"
#include "src/pow/target.hpp"
#include "tests/pool-bridge/bridge_process.hpp"
#include "tests/support/ed25519_sign.hpp"
#include "tests/support/subprocess.hpp"
#include "tests/support/test_bytes.hpp"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string DEFAULT_SHARE_TARGET = "0040" + std::string(124, 'f');
const std::string DEFAULT_BLOCK_TARGET = "00000010" + std::string(120, 'f');

json getwork_params(const std::string& address = "qz-addr-1", std::uint64_t wait_ms = 0,
                    std::optional<std::string> current_job_id = std::nullopt) {
    json params = {{"address", address}, {"worker", "rig-1"}, {"wait_ms", wait_ms}, {"hashrate", 1.5e6}};
    if (current_job_id) params["current_job_id"] = *current_job_id;
    return params;
}

json getwork(const BridgeProcess& bridge, const json& params = getwork_params()) {
    return bridge.rpc("quantus_getBlockTemplate", params);
}

json submit(const BridgeProcess& bridge, const std::string& job_id, const std::string& nonce) {
    return bridge.rpc("quantus_submitWork",
                      {{"job_id", job_id}, {"nonce", nonce}, {"address", "qz-addr-1"}, {"worker", "rig-1"}});
}

// The params with `key` set to `value`, or removed for null.
json with(json params, const char* key, const json& value) {
    if (value.is_null())
        params.erase(key);
    else
        params[key] = value;
    return params;
}

std::string upper_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

int error_code(const json& answer) { return answer.contains("error") ? answer["error"]["code"].get<int>() : 0; }

std::string share_status(const json& answer) {
    return answer.contains("result") ? answer["result"]["status"].get<std::string>() : "";
}

httplib::Result post(const BridgeProcess& bridge, const std::string& body, const std::string& path = "/",
                     const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", bridge.port());
    client.set_read_timeout(10s);
    return client.Post(path, headers, body, "application/json");
}

std::string getwork_body() {
    return json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "quantus_getBlockTemplate"}, {"params", getwork_params()}}
        .dump();
}

bool is_lower_hex(const json& value, std::size_t digits) {
    if (!value.is_string()) return false;
    const auto& text = value.get_ref<const std::string&>();
    return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A template decoded, with a nonce search against its targets.
struct TestJob {
    std::string id;
    Bytes32 mining_hash;
    Bytes64 share_target;
    Bytes64 block_target;
    NoncePrefix prefix;
    std::uint64_t next_counter = 1;

    explicit TestJob(const json& tmpl)
        : id(tmpl.at("job_id")),
          mining_hash(hex_bytes<32>(tmpl.at("mining_hash").get<std::string>())),
          share_target(hex_bytes<64>(tmpl.at("share_target").get<std::string>())),
          block_target(hex_bytes<64>(tmpl.at("block_target").get<std::string>())),
          prefix(hex_bytes<4>(tmpl.at("nonce_prefix").get<std::string>())) {}

    Bytes64 hash(const Bytes64& nonce) const {
        std::uint8_t input[poseidon2::INPUT_LEN];
        std::memcpy(input, mining_hash.data(), 32);
        std::memcpy(input + 32, nonce.data(), 64);
        return poseidon2::poseidon2_hash_bytes(input);
    }

    // The next nonce, prefix first and a counter last, whose hash `wanted` accepts.
    std::string find(const std::function<bool(const Bytes64& hash)>& wanted) {
        Bytes64 nonce{};
        std::copy(prefix.begin(), prefix.end(), nonce.begin());
        while (true) {
            const std::uint64_t counter = next_counter++;
            for (int i = 0; i < 8; ++i) nonce[63 - i] = static_cast<std::uint8_t>(counter >> (8 * i));
            if (wanted(hash(nonce))) return hex_encode(nonce);
        }
    }
    std::string share() {
        return find([&](const Bytes64& h) {
            return hash_meets_target(h, share_target) && !hash_meets_target(h, block_target);
        });
    }
    std::string low() {
        return find([&](const Bytes64& h) { return !hash_meets_target(h, share_target); });
    }
};

bool signature_verifies(std::string_view public_key_hex, const std::vector<std::uint8_t>& message,
                        std::string_view signature_hex) {
    const auto key = hex_bytes<32>(public_key_hex);
    const auto signature = hex_decode_array<64>(signature_hex);
    if (!signature) return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()), &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    return pkey && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), signature->data(), signature->size(), message.data(), message.size()) == 1;
}

template <typename Duration>
long long ms(Duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

}  // namespace

TEST(BridgeTemplate, FieldsAndRotation) {
    BridgeProcess bridge;
    const json first = getwork(bridge);
    ASSERT_TRUE(first.contains("result")) << first;
    EXPECT_EQ(first["jsonrpc"], "2.0");
    EXPECT_EQ(first["id"], 1);
    const json& t = first["result"];
    const std::string id = t["job_id"];
    EXPECT_NE(id.find('#'), std::string::npos) << id;
    EXPECT_TRUE(is_lower_hex(t["mining_hash"], 64)) << t;
    EXPECT_EQ(t["share_target"], DEFAULT_SHARE_TARGET);
    EXPECT_EQ(t["block_target"], DEFAULT_BLOCK_TARGET);
    EXPECT_EQ(t["nonce_prefix"], "0a0b0c0d");
    EXPECT_TRUE(t["height"].is_number_unsigned());
    EXPECT_EQ(t["share_difficulty"], 1008);  // 2^512 / share target
    EXPECT_EQ(t["net_difficulty"], "252645135");
    EXPECT_FALSE(t.contains("sig") || t.contains("sig_alg"));

    EXPECT_EQ(getwork(bridge)["result"], t) << "no rotation without the timer or bridge_rotate";

    const std::string rotated = bridge.rotate();
    const json second = getwork(bridge)["result"];
    EXPECT_EQ(second["job_id"], rotated);
    EXPECT_NE(rotated.substr(0, rotated.find('#')), id.substr(0, id.find('#'))) << "a new identity per job";
    EXPECT_EQ(second["height"], t["height"].get<std::uint64_t>() + 1);
    EXPECT_NE(second["mining_hash"], t["mining_hash"]);
}

TEST(BridgeTemplate, TargetsAndPrefixFromTheCommandLine) {
    const std::string share = "0x0FFF" + std::string(124, '0');
    const std::string block = "0fff" + std::string(124, '0');  // equal to the share target is allowed
    BridgeProcess bridge({"--share-target", share, "--block-target=" + block, "--nonce-prefix", "DEADbeef"});
    const json t = getwork(bridge)["result"];
    EXPECT_EQ(t["share_target"], block);
    EXPECT_EQ(t["block_target"], block);
    EXPECT_EQ(t["nonce_prefix"], "deadbeef");
    EXPECT_EQ(t["share_difficulty"], 16);
    EXPECT_EQ(t["net_difficulty"], "16");
}

TEST(BridgeTemplate, SignatureCoversTheRequestingAddress) {
    BridgeProcess bridge({"--sign"});
    const std::string addresses[] = {"qz-addr-A", "qz-addr-B"};
    std::vector<json> templates;
    for (const std::string& address : addresses)
        templates.push_back(getwork(bridge, getwork_params(address))["result"]);
    ASSERT_EQ(templates[0]["job_id"], templates[1]["job_id"]);
    EXPECT_NE(templates[0]["sig"], templates[1]["sig"]);
    for (std::size_t i = 0; i < 2; ++i) {
        const json& t = templates[i];
        EXPECT_EQ(t["sig_alg"], "ed25519-ovik-qtc-job-v1");
        ASSERT_TRUE(is_lower_hex(t["sig"], 128)) << t;
        const auto message_for = [&](const std::string& address) {
            return job_message(
                hex_bytes<32>(t["mining_hash"].get<std::string>()), hex_bytes<64>(t["share_target"].get<std::string>()),
                hex_bytes<64>(t["block_target"].get<std::string>()), hex_bytes<4>(t["nonce_prefix"].get<std::string>()),
                t["job_id"].get<std::string>(), address);
        };
        EXPECT_TRUE(
            signature_verifies(TEST_POOL_PUBLIC_KEY_HEX, message_for(addresses[i]), t["sig"].get<std::string>()));
        EXPECT_FALSE(
            signature_verifies(TEST_POOL_PUBLIC_KEY_HEX, message_for(addresses[1 - i]), t["sig"].get<std::string>()));
    }
}

TEST(BridgeLongPoll, HoldOrAnswerAtOnce) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool send_current_id;
        std::uint64_t wait_ms;
        long long min_ms, max_ms;
    };
    const Case cases[] = {
        {"current id: held for wait_ms", {}, true, 300, 290, 2000},
        {"current id: held at most --max-wait-ms", {"--max-wait-ms", "200"}, true, 60000, 190, 2000},
        {"current id, wait_ms 0", {}, true, 0, 0, 1000},
        {"no current id", {}, false, 5000, 0, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BridgeProcess bridge(c.args);
        const std::string id = getwork(bridge)["result"]["job_id"];
        const auto start = Clock::now();
        const json answer = getwork(
            bridge, getwork_params("qz-addr-1", c.wait_ms, c.send_current_id ? std::optional(id) : std::nullopt));
        const auto elapsed = ms(Clock::now() - start);
        EXPECT_EQ(answer["result"]["job_id"], id);
        EXPECT_GE(elapsed, c.min_ms);
        EXPECT_LT(elapsed, c.max_ms);
    }
    // An id that is not the current one (the identity alone included) is answered at once.
    BridgeProcess bridge;
    const std::string id = getwork(bridge)["result"]["job_id"];
    for (const std::string& other : {id.substr(0, id.find('#')), std::string("0#0000")}) {
        const auto start = Clock::now();
        EXPECT_EQ(getwork(bridge, getwork_params("qz-addr-1", 5000, other))["result"]["job_id"], id);
        EXPECT_LT(ms(Clock::now() - start), 1000) << other;
    }
}

TEST(BridgeLongPoll, ReleasedByANewJob) {
    {
        BridgeProcess bridge;
        const std::string id = getwork(bridge)["result"]["job_id"];
        auto held =
            std::async(std::launch::async, [&] { return getwork(bridge, getwork_params("qz-addr-1", 5000, id)); });
        ASSERT_EQ(held.wait_for(200ms), std::future_status::timeout);
        const std::string rotated = bridge.rotate();
        ASSERT_EQ(held.wait_for(1s), std::future_status::ready);
        EXPECT_EQ(held.get()["result"]["job_id"], rotated);
    }
    {
        BridgeProcess bridge({"--rotate-ms", "150"});
        const std::string id = getwork(bridge)["result"]["job_id"];
        const auto start = Clock::now();
        const json answer = getwork(bridge, getwork_params("qz-addr-1", 5000, id));
        EXPECT_NE(answer["result"]["job_id"], id);
        EXPECT_LT(ms(Clock::now() - start), 1000);
    }
}

TEST(BridgeSubmit, OutcomesInCheckOrder) {
    BridgeProcess bridge;
    TestJob job(getwork(bridge)["result"]);
    const std::string share = job.share();
    std::string wrong_prefix = job.share();
    wrong_prefix[7] = wrong_prefix[7] == '0' ? '1' : '0';
    const std::string identity = job.id.substr(0, job.id.find('#'));

    struct Step {
        const char* what;
        std::function<json()> send;
        std::string status;  // accepted with this status, or
        int code;            // refused with this code
    };
    const auto sends = [&](std::string job_id, std::string nonce) {
        return [&bridge, job_id, nonce] { return submit(bridge, job_id, nonce); };
    };
    const auto sends_params = [&](json params) {
        return [&bridge, params] { return bridge.rpc("quantus_submitWork", params); };
    };
    const json good = {{"job_id", job.id}, {"nonce", share}, {"address", "a"}, {"worker", "w"}};
    const Step steps[] = {
        {"a share", sends(job.id, share), "share", 0},
        {"the same nonce again", sends(job.id, share), "", -32012},
        {"the same nonce in upper case", sends(job.id, upper_case(share)), "", -32012},
        {"a hash above the share target", sends(job.id, job.low()), "", -32002},
        {"another prefix", sends(job.id, wrong_prefix), "", -32001},
        {"an unknown job", sends("999#ffff", share), "", -32010},
        {"the identity with another suffix", sends(identity + "#zzzz", share), "", -32010},
        {"an unknown job with another prefix", sends("999#ffff", wrong_prefix), "", -32010},
        {"127 digits", sends(job.id, share.substr(1)), "", -32602},
        {"a non-hex digit", sends(job.id, share.substr(0, 127) + "g"), "", -32602},
        {"a malformed nonce for an unknown job", sends("999#ffff", "00"), "", -32602},
        {"no job_id", sends_params({{"nonce", share}, {"address", "a"}, {"worker", "w"}}), "", -32602},
        {"a numeric nonce", sends_params(with(good, "nonce", 5)), "", -32602},
        {"no worker", sends_params(with(good, "worker", nullptr)), "", -32602},
        {"params as an array", sends_params(json::array({job.id, share})), "", -32602},
    };
    for (const Step& step : steps) {
        const json answer = step.send();
        if (step.code == 0) {
            EXPECT_EQ(share_status(answer), step.status) << step.what << ": " << answer;
            EXPECT_EQ(answer["result"]["share_difficulty"], 1008) << step.what;
        } else {
            EXPECT_EQ(error_code(answer), step.code) << step.what << ": " << answer;
            EXPECT_FALSE(answer.contains("result")) << step.what;
        }
    }

    bridge.rotate();
    TestJob next(getwork(bridge)["result"]);
    EXPECT_EQ(share_status(submit(bridge, job.id, job.share())), "late");
    EXPECT_EQ(share_status(submit(bridge, next.id, next.share())), "share");
    EXPECT_EQ(error_code(submit(bridge, job.id, share)), -32012) << "still a duplicate after the rotation";

    const BridgeCounters expected{.getwork = 2,
                                  .submit = std::size(steps) + 3,
                                  .accepted = 3,
                                  .late = 1,
                                  .stale = 3,
                                  .duplicate = 3,
                                  .invalid = 9};
    EXPECT_EQ(bridge.counters(), expected);
}

TEST(BridgeSubmit, BlockOutranksLate) {
    BridgeProcess bridge({"--block-target", DEFAULT_SHARE_TARGET});
    TestJob job(getwork(bridge)["result"]);
    const auto block = [&] {
        return job.find([&](const Bytes64& h) { return hash_meets_target(h, job.block_target); });
    };
    EXPECT_EQ(share_status(submit(bridge, job.id, block())), "block");
    bridge.rotate();
    EXPECT_EQ(share_status(submit(bridge, job.id, block())), "block");
    EXPECT_EQ(bridge.counters(), (BridgeCounters{.getwork = 1, .submit = 2, .accepted = 2, .blocks = 2}));
}

TEST(BridgeSubmit, SupersededJobsAreKeptForAWhile) {
    BridgeProcess bridge;
    TestJob oldest(getwork(bridge)["result"]);
    TestJob kept = oldest;
    for (int i = 0; i < 16; ++i) {
        bridge.rotate();
        if (i == 0) kept = TestJob(getwork(bridge)["result"]);
    }
    EXPECT_EQ(share_status(submit(bridge, kept.id, kept.share())), "late");
    for (int i = 0; i < 100; ++i) bridge.rotate();
    EXPECT_EQ(error_code(submit(bridge, oldest.id, oldest.share())), -32010) << "forgotten after many jobs";
}

TEST(BridgeRpc, EnvelopesAndParams) {
    BridgeProcess bridge;
    const auto call = [](const std::string& method, json params, json id = 9) {
        return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}}.dump();
    };
    const json p = getwork_params();
    struct Case {
        std::string body;
        int code;
        json id;
    };
    const Case cases[] = {
        {"{not json", -32700, nullptr},
        {"[1,2]", -32600, nullptr},
        {R"({"jsonrpc":"1.0","id":3,"method":"quantus_getBlockTemplate","params":{}})", -32600, 3},
        {R"({"jsonrpc":"2.0","id":4,"params":{}})", -32600, 4},
        {call("quantus_nope", json::object(), "x-7"), -32601, "x-7"},
        {call("quantus_getBlockTemplate", json::array()), -32602, 9},
        {call("quantus_getBlockTemplate", with(p, "address", nullptr)), -32602, 9},
        {call("quantus_getBlockTemplate", with(p, "worker", 3)), -32602, 9},
        {call("quantus_getBlockTemplate", with(p, "wait_ms", -1)), -32602, 9},
        {call("quantus_getBlockTemplate", with(p, "wait_ms", 1.5)), -32602, 9},
        {call("quantus_getBlockTemplate", with(p, "current_job_id", 1)), -32602, 9},
        {call("quantus_getBlockTemplate", with(p, "hashrate", "fast")), -32602, 9},
        {call("quantus_getBlockTemplate", with(p, "hashrate", nullptr)), 0, 9},
    };
    for (const Case& c : cases) {
        const auto response = post(bridge, c.body, "/any/path?x=1");
        ASSERT_TRUE(response) << c.body;
        EXPECT_EQ(response->status, 200);
        EXPECT_EQ(response->get_header_value("Content-Type"), "application/json");
        const json answer = json::parse(response->body);
        EXPECT_EQ(answer["jsonrpc"], "2.0");
        EXPECT_EQ(answer["id"], c.id) << c.body;
        EXPECT_EQ(error_code(answer), c.code) << c.body << " -> " << answer;
    }
    EXPECT_EQ(bridge.counters(), (BridgeCounters{.getwork = 9, .other = 4}));
}

TEST(BridgeFaults, EachMode) {
    struct Case {
        const char* what;
        std::vector<std::string> faults;
        std::function<void(const BridgeProcess&)> check;
    };
    const auto expect_template = [](const httplib::Result& response) {
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
        EXPECT_TRUE(json::parse(response->body).contains("result")) << response->body;
    };
    const Case cases[] = {
        {"no-work with a retry hint",
         {"getwork:no-work:250"},
         [](const BridgeProcess& b) {
             const json error = getwork(b)["error"];
             EXPECT_EQ(error["code"], -32011);
             EXPECT_EQ(error["message"], "no job");
             EXPECT_EQ(error["data"], (json{{"retry_in_ms", 250}}));
         }},
        {"no-work without",
         {"any:no-work"},
         [](const BridgeProcess& b) {
             const json answer = submit(b, "1#0000", std::string(128, '0'));
             EXPECT_EQ(error_code(answer), -32011);
             EXPECT_FALSE(answer["error"].contains("data"));
         }},
        {"reply: literal body, twice",
         {R"(any:reply:200:{"a":"b@c"} {"result":2}@2)"},
         [&](const BridgeProcess& b) {
             for (int i = 0; i < 2; ++i) {
                 const auto response = post(b, getwork_body());
                 ASSERT_TRUE(response);
                 EXPECT_EQ(response->status, 200);
                 EXPECT_EQ(response->body, R"({"a":"b@c"} {"result":2})");
                 EXPECT_EQ(response->get_header_value("Content-Type"), "application/json");
             }
             expect_template(post(b, getwork_body()));
         }},
        {"reply-repeat",
         {"any:reply-repeat:503:300:\xc3\xa9"},
         [](const BridgeProcess& b) {
             const auto response = post(b, "anything");
             ASSERT_TRUE(response);
             EXPECT_EQ(response->status, 503);
             std::string expected;
             for (int i = 0; i < 300; ++i) expected += "\xc3\xa9";
             EXPECT_EQ(response->body, expected);
         }},
        {"delay",
         {"getwork:delay:300"},
         [&](const BridgeProcess& b) {
             const auto start = Clock::now();
             expect_template(post(b, getwork_body()));
             EXPECT_GE(ms(Clock::now() - start), 290);
         }},
        {"close",
         {"getwork:close"},
         [&](const BridgeProcess& b) {
             const auto response = post(b, getwork_body());
             EXPECT_FALSE(response) << response->status << " " << response->body;
             expect_template(post(b, getwork_body()));
         }},
        {"hang: held unanswered until the client gives up",
         {"submit:hang"},
         [](const BridgeProcess& b) {
             httplib::Client client("127.0.0.1", b.port());
             client.set_read_timeout(300ms);
             const auto start = Clock::now();
             TestJob job(getwork(b)["result"]);
             const json call = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "quantus_submitWork"},
                                {"params", {{"job_id", job.id}, {"nonce", job.share()}, {"address", "a"}, {"worker", "w"}}}};
             EXPECT_FALSE(client.Post("/", call.dump(), "application/json"));
             EXPECT_GE(ms(Clock::now() - start), 290);
             EXPECT_EQ(share_status(submit(b, job.id, job.share())), "share") << "the hang was for one request";
             EXPECT_EQ(b.counters().submit, 2u);
             EXPECT_EQ(b.counters().accepted, 1u);
         }},
        {"hang until the pool recovers: the held request is then answered, the faults left are gone",
         {"submit:hang@*"},
         [](const BridgeProcess& b) {
             TestJob job(getwork(b)["result"]);
             const std::string share = job.share();
             auto held = std::async(std::launch::async, [&] { return submit(b, job.id, share); });
             while (b.counters().submit == 0) std::this_thread::sleep_for(5ms);
             EXPECT_EQ(held.wait_for(100ms), std::future_status::timeout);
             EXPECT_EQ(b.rpc("bridge_recover")["result"], true);
             EXPECT_EQ(share_status(held.get()), "share");
             EXPECT_EQ(share_status(submit(b, job.id, job.share())), "share");
         }},
        {"stale on submit",
         {"submit:stale"},
         [](const BridgeProcess& b) {
             TestJob job(getwork(b)["result"]);
             const std::string share = job.share();
             EXPECT_EQ(error_code(submit(b, job.id, share)), -32010);
             EXPECT_EQ(share_status(submit(b, job.id, share)), "share");
             EXPECT_EQ(b.counters().stale, 1u);
         }},
        {"stale on getwork: the job served is stale on arrival",
         {"getwork:stale"},
         [](const BridgeProcess& b) {
             TestJob job(getwork(b)["result"]);
             EXPECT_EQ(error_code(submit(b, job.id, job.share())), -32010);
             b.rotate();
             TestJob next(getwork(b)["result"]);
             EXPECT_EQ(share_status(submit(b, next.id, next.share())), "share");
         }},
        {"redirect chain; the hops do not take the next fault",
         {"getwork:redirect:3", "getwork:no-work"},
         [&](const BridgeProcess& b) {
             std::string path = "/";
             for (int hop = 1; hop <= 3; ++hop) {
                 const auto response = post(b, getwork_body(), path);
                 ASSERT_TRUE(response);
                 EXPECT_EQ(response->status, 307);
                 path = response->get_header_value("Location");
                 EXPECT_EQ(path, "/r/" + std::to_string(hop));
             }
             expect_template(post(b, getwork_body(), path));
             EXPECT_EQ(error_code(getwork(b)), -32011);
             expect_template(post(b, getwork_body(), "/r/3"));  // the chain is over: a plain path again
         }},
        {"redirect chain followed by a client",
         {"any:redirect:2"},
         [&](const BridgeProcess& b) {
             httplib::Client client("127.0.0.1", b.port());
             client.set_follow_location(true);
             expect_template(client.Post("/", getwork_body(), "application/json"));
             EXPECT_EQ(b.counters().getwork, 3u);
         }},
        {"redirect loop",
         {"getwork:redirect-loop"},
         [&](const BridgeProcess& b) {
             auto response = post(b, getwork_body());
             ASSERT_TRUE(response);
             EXPECT_EQ(response->get_header_value("Location"), "/r/1");
             response = post(b, getwork_body(), "/r/57");
             ASSERT_TRUE(response);
             EXPECT_EQ(response->status, 307);
             EXPECT_EQ(response->get_header_value("Location"), "/r/58");
             httplib::Client client("127.0.0.1", b.port());
             client.set_follow_location(true);
             EXPECT_EQ(client.Post("/r/1", getwork_body(), "application/json").error(),
                       httplib::Error::ExceedRedirectCount);
             expect_template(post(b, getwork_body()));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args;
        for (const std::string& fault : c.faults) args.insert(args.end(), {"--fault", fault});
        BridgeProcess bridge(args);
        c.check(bridge);
    }
}

TEST(BridgeFaults, ConsumedInOrderByMatchingMethod) {
    BridgeProcess bridge({"--fault", "getwork:no-work@2", "--fault", "submit:stale", "--fault", "any:reply:418:x@*"});
    const auto malformed_submit = [&] { return bridge.rpc("quantus_submitWork", json::object()); };
    EXPECT_EQ(error_code(malformed_submit()), -32602) << "a submit passes a getwork fault";
    EXPECT_EQ(error_code(json::parse(post(bridge, "junk")->body)), -32700) << "so does a body that is no call";
    EXPECT_EQ(error_code(getwork(bridge)), -32011);
    EXPECT_EQ(error_code(getwork(bridge)), -32011);
    EXPECT_TRUE(getwork(bridge).contains("result"));
    EXPECT_EQ(error_code(malformed_submit()), -32010);
    for (int i = 0; i < 3; ++i) {
        const auto response = post(bridge, i == 0 ? getwork_body() : "junk");
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 418);
        EXPECT_EQ(response->body, "x");
    }
    EXPECT_EQ(bridge.counters(), (BridgeCounters{.getwork = 4, .submit = 2, .other = 3, .stale = 1, .invalid = 1}))
        << "the back channel bypasses the faults";
}

// A bridge restarted with the same seed serves the same jobs, so shares
// found before the restart are still shares of a job it knows.
TEST(BridgeJobs, TheSameSeedGivesTheSameJobs) {
    const auto jobs = [](const std::string& seed) {
        BridgeProcess bridge({"--job-seed", seed});
        const json first = getwork(bridge)["result"];
        bridge.rotate();
        const json second = getwork(bridge)["result"];
        return std::vector<std::string>{first["job_id"], first["mining_hash"], second["job_id"], second["mining_hash"]};
    };
    const auto seeded = jobs("17");
    EXPECT_EQ(jobs("17"), seeded);
    EXPECT_NE(jobs("18")[1], seeded[1]);
    EXPECT_NE(seeded[1], seeded[3]);
}

// The hostile pool's two traits: difficulty texts of any length, and a new
// job in every answer, a long-poll on the current job included.
TEST(BridgeTemplate, PaddedDifficultiesAndANewJobPerAnswer) {
    BridgeProcess bridge({"--difficulty-text-bytes", "40", "--rotate-every-answer", "--no-delay"});
    const json first = getwork(bridge)["result"];
    EXPECT_EQ(first["share_difficulty"], std::string(36, '0') + "1008");
    EXPECT_EQ(first["net_difficulty"], std::string(31, '0') + "252645135");
    const json second = getwork(bridge, getwork_params("qz-addr-1", 60000, first["job_id"]))["result"];
    EXPECT_NE(second["job_id"], first["job_id"]);
}

// Padded ids keep their length across a rotation and still differ in
// what precedes the '#'.
TEST(BridgeJobs, PaddedIdsHaveTheAskedLength) {
    BridgeProcess bridge({"--job-id-bytes", "300"});
    const std::string first = getwork(bridge)["result"]["job_id"];
    const std::string second = bridge.rotate();
    for (const std::string& id : {first, second}) {
        EXPECT_EQ(id.size(), 300u);
        EXPECT_EQ(id.find('#'), 300u - 5) << id;
    }
    EXPECT_NE(first.substr(0, first.find('#')), second.substr(0, second.find('#')));
}

TEST(BridgeLog, RecordsWhatTheClientSent) {
    char path[] = "/tmp/bridge-log-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string body = R"({"jsonrpc":"2.0","id":1,"method":"quantus_nope","note":"caf\u00e9 é"})";
    BridgeProcess bridge({"--log-requests", path, "--fault", "any:close"});
    EXPECT_FALSE(post(bridge, body, "/pool/x?y=1", {{"X-Probe", "Yes"}, {"Accept-Encoding", "identity"}}));
    bridge.counters();  // the back channel is not logged
    ASSERT_TRUE(post(bridge, "second"));
    std::ifstream file(path);  // read while the bridge runs: each line is flushed at once
    std::vector<json> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(json::parse(line));
    ::unlink(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["path"], "/pool/x");
    EXPECT_EQ(lines[0]["target"], "/pool/x?y=1");
    EXPECT_EQ(lines[0]["body"], body);
    const json& headers = lines[0]["headers"];
    EXPECT_EQ(headers["x-probe"], "Yes");
    EXPECT_EQ(headers["accept-encoding"], "identity");
    EXPECT_EQ(headers["content-type"], "application/json");
    EXPECT_EQ(headers["content-length"], std::to_string(body.size()));
    for (const char* added : {"remote_addr", "remote_port", "local_addr", "local_port", "REMOTE_ADDR"})
        EXPECT_FALSE(headers.contains(added)) << added;
    EXPECT_EQ(lines[1]["body"], "second");
    EXPECT_LE(lines[0]["ms"].get<std::int64_t>(), lines[1]["ms"].get<std::int64_t>()) << "arrival times";
}

TEST(BridgeLifetime, CountersLineOnStop) {
    BridgeProcess bridge;
    TestJob job(getwork(bridge)["result"]);
    submit(bridge, job.id, job.share());
    post(bridge, "junk");
    const BridgeCounters live = bridge.counters();
    EXPECT_EQ(live, (BridgeCounters{.getwork = 1, .submit = 1, .other = 1, .accepted = 1}));
    const ProcessResult result = bridge.stop();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), "listening on 127.0.0.1:" + std::to_string(bridge.port()));
    EXPECT_NE(result.out.find("\nbridge counters: getwork=1 submit=1 other=1 accepted=1 blocks=0 late=0 stale=0 "
                              "duplicate=0 invalid=0\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(parse_counters_line(result.out), live);
    EXPECT_EQ(bridge.stop().out, result.out);
}

TEST(BridgeLifetime, TimeLimitEndsTheBridge) {
    BridgeProcess bridge({"--time-limit-s", "1"});
    EXPECT_FALSE(bridge.wait_for_exit(600ms));
    const auto result = bridge.wait_for_exit(3s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    EXPECT_EQ(parse_counters_line(result->out), BridgeCounters{});
    EXPECT_NE(result->err.find("time limit"), std::string::npos) << result->err;
}

TEST(BridgeLifetime, StopsPromptlyWithHeldAndIdleConnections) {
    BridgeProcess bridge;
    const std::string id = getwork(bridge)["result"]["job_id"];
    httplib::Client idle("127.0.0.1", bridge.port());
    idle.set_keep_alive(true);
    ASSERT_TRUE(idle.Post("/", getwork_body(), "application/json"));
    auto held = std::async(std::launch::async, [&] {
        httplib::Client client("127.0.0.1", bridge.port());
        client.set_read_timeout(30s);
        return client.Post("/",
                           json{{"jsonrpc", "2.0"},
                                {"id", 1},
                                {"method", "quantus_getBlockTemplate"},
                                {"params", getwork_params("qz-addr-1", 30000, id)}}
                               .dump(),
                           "application/json");
    });
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    const ProcessResult result = bridge.stop();
    EXPECT_LT(ms(Clock::now() - start), 1000);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("SIGTERM"), std::string::npos) << result.err;
    held.wait();
}

TEST(BridgeOptions, RefusedCommandLines) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::string zeros(128, '0');
    const Case cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "65536"}, "--port: expected a whole number up to 65535"},
        {{"--time-limit-s=-1"}, "--time-limit-s: expected a whole number"},
        {{"--sign=yes"}, "--sign takes no value"},
        {{"--share-target", DEFAULT_BLOCK_TARGET, "--block-target", DEFAULT_SHARE_TARGET},
         "the share target is below the block target"},
        {{"--block-target", zeros}, "a target must be above zero"},
        {{"--share-target", "00ff"}, "--share-target: expected 128 hex digits, got 4"},
        {{"--nonce-prefix", "0a0b0c"}, "--nonce-prefix: Invalid string length"},
        {{"--fault", "poll:close"}, "unknown fault method 'poll'"},
        {{"--fault", "getwork"}, "expected METHOD:MODE"},
        {{"--fault", "getwork:explode"}, "unknown fault mode 'explode'"},
        {{"--fault", "any:stale"}, "stale applies to getwork or submit"},
        {{"--fault", "getwork:close@0"}, "fault count: expected at least 1"},
        {{"--fault", "getwork:close:now"}, "close takes no argument"},
        {{"--fault", "any:reply:abc:x"}, "HTTP status: expected a whole number"},
        {{"--fault", "any:reply:200"}, "reply needs STATUS:BODY"},
        {{"--fault", "any:reply-repeat:503:x"}, "reply-repeat needs STATUS:COUNT:TEXT"},
        {{"--fault", "any:redirect:0"}, "redirect hops: expected at least 1"},
        {{"--fault", "any:delay"}, "delay needs milliseconds"},
        {{"--fault", "submit:hang:1"}, "hang takes no argument"},
        {{"--job-seed", "x"}, "--job-seed: expected a whole number"},
        {{"--job-id-bytes", "16777217"}, "--job-id-bytes: expected a whole number up to 16777216"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {POOL_BRIDGE_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProcessResult result = run_process(argv);
        EXPECT_EQ(result.status, 2) << c.error;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << "expected: " << c.error << "\ngot: " << result.err;
        EXPECT_EQ(result.out, "") << c.error;
    }
    const ProcessResult help = run_process({POOL_BRIDGE_BINARY, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--fault FAULT"), std::string::npos);
}
