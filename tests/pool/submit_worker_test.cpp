#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <thread>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/hex.hpp"
#include "src/pool/job_template.hpp"
#include "src/pool/submit_worker.hpp"
#include "src/pow/target.hpp"
#include "tests/pool-bridge/bridge_process.hpp"
#include "tests/support/fake_time.hpp"

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Set before anything paints, so that lines compare as plain text even on a terminal.
[[maybe_unused]] const bool PLAIN_CONSOLE = (::setenv("NO_COLOR", "1", 1), true);

// One hash in 16 makes a share and one in 256 a block, so nonces are found at once.
const std::string EASY_SHARE_TARGET = "0f" + std::string(126, 'f');
const std::string EASY_BLOCK_TARGET = "00" + std::string(126, 'f');

const Bytes64 HASH_65536 = [] {  // difficulty 65536.000
    Bytes64 hash{};
    hash[1] = 0x01;
    return hash;
}();
const Bytes64 HASH_ZERO{};  // difficulty inf

enum class Strength { weak, share, block };  // against the bridge's targets

std::filesystem::path temp_file() {
    static int serial = 0;
    const auto dir = std::filesystem::path(testing::TempDir()) / "ovik_submit_worker";
    std::filesystem::create_directories(dir);
    const auto path = dir / ("requests" + std::to_string(::getpid()) + "_" + std::to_string(serial++) + ".jsonl");
    std::filesystem::remove(path);
    return path;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

void replace_all(std::string& text, std::string_view token, std::string_view value) {
    for (std::size_t at = 0; (at = text.find(token, at)) != std::string::npos; at += value.size())
        text.replace(at, token.size(), value);
}

// `pattern` with {job}, {nonce} and {nonce16} filled in; a "{*}" stands for any text.
bool line_matches(std::string pattern, const std::string& line, const Share& share) {
    const std::string nonce = hex_encode(share.nonce);
    replace_all(pattern, "{job}", share.job->job_id);
    replace_all(pattern, "{nonce16}", nonce.substr(0, 16));
    replace_all(pattern, "{nonce}", nonce);
    const std::size_t star = pattern.find("{*}");
    if (star == std::string::npos) return line == pattern;
    const std::string_view head = std::string_view(pattern).substr(0, star);
    const std::string_view tail = std::string_view(pattern).substr(star + 3);
    return line.size() >= head.size() + tail.size() && line.starts_with(head) && line.ends_with(tail);
}

void expect_lines(const std::vector<std::string>& got, const std::vector<std::string>& patterns, const Share& share,
                  const std::string& what) {
    ASSERT_EQ(got.size(), patterns.size()) << what << ": " << testing::PrintToString(got);
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(line_matches(patterns[i], got[i], share)) << what << ": line " << i << " is\n  " << got[i]
                                                              << "\nexpected\n  " << patterns[i];
}

struct Tally {
    std::uint64_t accepted = 0, blocks = 0, late = 0, rejected = 0, stale = 0, duplicates = 0;
    bool operator==(const Tally&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Tally& t) {
    return out << "{accepted " << t.accepted << ", blocks " << t.blocks << ", late " << t.late << ", rejected "
               << t.rejected << ", stale " << t.stale << ", duplicates " << t.duplicates << "}";
}

Tally tally(const SessionCounters& c) {
    return {c.accepted.load(), c.blocks_found.load(), c.late_accepted.load(), c.rejected.load(),
            c.stale_rejected.load(), c.duplicates.load()};
}

// A bridge, the bridge's current job installed in the job slot, and a
// submit worker context on fake time.
class Rig {
public:
    explicit Rig(const std::vector<std::string>& faults = {}, bool dev_client = false)
        : log_(temp_file()), bridge_(bridge_args(faults, log_)) {
        auto clients = std::make_shared<SessionClients>();
        clients->user = pool_client_new(bridge_.url(), "qzUser", "rig", 5s, false);
        if (dev_client) clients->dev = pool_client_new(bridge_.url(), "qzDev", "devrig", 5s, true);
        context.clients = clients;
        context.mining.slot = std::make_shared<JobSlot>(time.clock());
        context.mining.stats = stats;
        context.mining.queue = std::make_shared<SubmitQueue>(stats, 64);
        context.mining.stop_flag = std::make_shared<std::atomic<bool>>(false);
        context.drain = std::make_shared<SubmitDrain>(clients);
        context.clock = time.clock();
        context.sleep = time.sleeper();

        const json answer = bridge_.rpc("quantus_getBlockTemplate", {{"address", "qzUser"}, {"worker", "rig"}, {"wait_ms", 0}});
        job = std::get<std::shared_ptr<const Job>>(parse_template(answer.at("result"), *clients->user));
        job_slot_install(*context.mining.slot, job);
    }

    BridgeProcess& bridge() { return bridge_; }

    // The same job, with changes.
    std::shared_ptr<const Job> variant(bool is_dev, bool without_height = false) const {
        Job copy = *job;
        copy.is_dev = is_dev;
        if (without_height) copy.height.reset();
        return std::make_shared<const Job>(std::move(copy));
    }

    // A share whose nonce has the given strength for the bridge; the hash
    // the worker shows is `hash`, whatever the nonce gives.
    Share share(Strength strength, std::shared_ptr<const Job> of = nullptr, const Bytes64& hash = HASH_65536,
                bool is_block = false, std::uint32_t gpu = 0) {
        if (!of) of = job;
        Share s{};
        s.found_at = time.now();
        s.job = of;
        s.nonce = find_nonce(strength);
        s.hash = hash;
        s.gpu_ordinal = gpu;
        s.is_block = is_block;
        return s;
    }

    void push(const Share& share) {
        queue_push(*context.mining.queue, share, [this](std::string_view id) { return job_is_live_pred(context.mining.slot, id); });
    }

    // Shares handled to the end, whatever the outcome.
    std::uint64_t handled() const {
        std::uint64_t n = 0;
        for (const SessionCounters* c : {&stats->user, &stats->dev})
            n += c->accepted + c->rejected + c->stale_rejected + c->duplicates;
        return n;
    }

    // Pushes the shares, runs `workers` submit workers until `done` (by
    // default: every share handled), then stops them the way the shutdown
    // does. Gives what they printed.
    std::vector<std::string> run(const std::vector<Share>& shares, std::function<bool()> done = {}, int workers = 1) {
        for (const Share& s : shares) push(s);
        if (!done) done = [this, n = shares.size()] { return handled() >= n; };
        testing::internal::CaptureStdout();
        std::vector<std::thread> threads;
        for (int i = 0; i < workers; ++i) threads.emplace_back(submit_worker, std::cref(context));
        wait_until(done);
        shut_down(threads);
        return split_lines(testing::internal::GetCapturedStdout());
    }

    static void wait_until(const std::function<bool()>& done) {
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < give_up) std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(done()) << "the workers did not get there in 10 s";
    }

    void shut_down(std::vector<std::thread>& threads) {
        context.mining.stop_flag->store(true);
        queue_close(*context.mining.queue);
        for (std::thread& t : threads) t.join();
    }

    // The submissions the bridge received, in order.
    std::vector<json> submissions() const {
        std::vector<json> calls;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            json call = json::parse(json::parse(line).at("body").get<std::string>());
            if (call.at("method") == "quantus_submitWork") calls.push_back(std::move(call));
        }
        return calls;
    }

    FakeTime time;
    std::shared_ptr<MinerStats> stats = std::make_shared<MinerStats>();
    SubmitWorkerContext context;
    std::shared_ptr<const Job> job;

private:
    static std::vector<std::string> bridge_args(const std::vector<std::string>& faults,
                                                const std::filesystem::path& log) {
        std::vector<std::string> args = {"--share-target", EASY_SHARE_TARGET, "--block-target", EASY_BLOCK_TARGET,
                                         "--log-requests", log.string()};
        for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
        return args;
    }

    Bytes64 find_nonce(Strength want) {
        for (;; ++nonce_serial_) {
            Bytes64 nonce{};
            std::copy(job->nonce_prefix.begin(), job->nonce_prefix.end(), nonce.begin());
            for (int i = 0; i < 4; ++i) nonce[60 + i] = static_cast<std::uint8_t>(nonce_serial_ >> (24 - 8 * i));
            std::uint8_t input[poseidon2::INPUT_LEN];
            std::memcpy(input, job->mining_hash.data(), job->mining_hash.size());
            std::memcpy(input + job->mining_hash.size(), nonce.data(), nonce.size());
            const Bytes64 hash = poseidon2::poseidon2_hash_bytes(input);
            const Strength got = hash_meets_target(hash, job->block_target)   ? Strength::block
                                 : hash_meets_target(hash, job->share_target) ? Strength::share
                                                                              : Strength::weak;
            if (got == want) {
                ++nonce_serial_;
                return nonce;
            }
        }
    }

    std::filesystem::path log_;
    BridgeProcess bridge_;
    std::uint32_t nonce_serial_ = 0;
};

json submit_params(const Share& share, std::string_view address, std::string_view worker) {
    return {{"job_id", share.job->job_id}, {"nonce", hex_encode(share.nonce)}, {"address", address}, {"worker", worker}};
}

}  // namespace

TEST(SubmitWorker, PrintsAndCountsEveryOutcome) {
    enum class Before { nothing, rotate, submit_it };  // done to the bridge before the worker runs
    enum class JobKind { user, dev, unnumbered };
    struct Case {
        const char* what;
        std::string fault;  // the pool's scripted answer; empty: the bridge judges the nonce
        Strength strength;
        std::vector<std::string> lines;
        Tally counted;  // in the share's session
        Before before = Before::nothing;
        JobKind job = JobKind::user;
        bool is_block = false;
        Bytes64 hash = HASH_65536;
        std::chrono::milliseconds age = 0ms;  // since the share was found
    };
    const Case cases[] = {
        {"share", "", Strength::share,
         {"[GPU3] share ACCEPTED job {job} diff≈65536.000 (1234 ms) → next diff 16"}, {.accepted = 1},
         Before::nothing, JobKind::user, false, HASH_65536, 1234ms},
        {"share found in the future, string difficulty",
         R"(submit:reply:200:{"result":{"status":"share","share_difficulty":"1.5e3"}})", Strength::share,
         {"[GPU3] share ACCEPTED job {job} diff≈65536.000 (0 ms) → next diff 1.5e3"}, {.accepted = 1},
         Before::nothing, JobKind::user, false, HASH_65536, -5ms},
        {"share without a next difficulty", R"(submit:reply:200:{"result":{"status":"share"}})", Strength::share,
         {"[GPU3] share ACCEPTED job {job} diff≈65536.000 (0 ms) → next diff "}, {.accepted = 1}},
        {"block", "", Strength::block,
         {"", "  ★  BLOCK FOUND  ★  job {job} hauteur 1 diff≈65536.000 nonce {nonce} hash 000100000000000000000000…",
          ""},
         {.accepted = 1, .blocks = 1}, Before::nothing, JobKind::user, true},
        {"block of a dev-fee job without height", R"(submit:reply:200:{"result":{"status":"block"}})",
         Strength::block,
         {"", "  ★  BLOCK FOUND  ★  job {job} hauteur ? diff≈inf nonce {nonce} hash 000000000000000000000000…", ""},
         {.accepted = 1, .blocks = 1}, Before::nothing, JobKind::unnumbered, true, HASH_ZERO},
        {"late", "", Strength::share,
         {"[GPU3] share accepted but LATE (job superseded) job {job} diff≈65536.000"}, {.accepted = 1, .late = 1},
         Before::rotate},
        {"late on the dev fee", R"(submit:reply:200:{"result":{"status":"late"}})", Strength::share,
         {"[GPU3] [dev fee] share accepted but LATE (job superseded) job {job} diff≈65536.000"},
         {.accepted = 1, .late = 1}, Before::nothing, JobKind::dev},
        {"another status", R"(submit:reply:200:{"result":{"status":"pending","share_difficulty":9}})",
         Strength::share, {"[GPU3] share accepted, status « pending » job {job} (local block=false)"}, {.accepted = 1}},
        {"status differing in case", R"(submit:reply:200:{"result":{"status":"Share"}})", Strength::share,
         {"[GPU3] share accepted, status « Share » job {job} (local block=false)"}, {.accepted = 1}},
        {"block status differing in case, local block", R"(submit:reply:200:{"result":{"status":"BLOCK"}})",
         Strength::block, {"[GPU3] share accepted, status « BLOCK » job {job} (local block=true)"}, {.accepted = 1},
         Before::nothing, JobKind::user, true},
        {"no status", R"(submit:reply:200:{"result":{"share_difficulty":16}})", Strength::share,
         {"[GPU3] share accepted, status « ? » job {job} (local block=false)"}, {.accepted = 1}},
        {"status not a string", R"(submit:reply:200:{"result":{"status":7}})", Strength::share,
         {"[GPU3] share accepted, status « ? » job {job} (local block=false)"}, {.accepted = 1}},
        {"result not an object", R"(submit:reply:200:{"result":"share"})", Strength::share,
         {"[GPU3] share accepted, status « ? » job {job} (local block=false)"}, {.accepted = 1}},
        {"null result", R"(submit:reply:200:{"result":null})", Strength::share,
         {"[GPU3] [dev fee] share accepted, status « ? » job {job} (local block=false)"}, {.accepted = 1},
         Before::nothing, JobKind::dev},
        {"stale", "submit:stale", Strength::share, {"[GPU3] share STALE job {job} : stale share"}, {.stale = 1}},
        {"duplicate", "", Strength::share, {"[GPU3] share DUPLICATE job {job} (nonce {nonce16}…)"},
         {.duplicates = 1}, Before::submit_it},
        {"duplicate on the dev fee", R"(submit:reply:200:{"error":{"code":-32012,"message":"dup"}})",
         Strength::share, {"[GPU3] [dev fee] share DUPLICATE job {job} (nonce {nonce16}…)"}, {.duplicates = 1},
         Before::nothing, JobKind::dev},
        {"too weak, no data", "", Strength::weak,
         {"[GPU3] share REJECTED job {job} (-32002: low difficulty share null) hash 000000000000000000000000… "
          "diff≈inf"},
         {.rejected = 1}, Before::nothing, JobKind::user, false, HASH_ZERO},
        // A block the pool refuses, for whatever reason, also comes with
        // all it takes to hand it in again.
        {"block refused as an internal error",
         R"(submit:reply:200:{"error":{"code":-32603,"message":"internal error, retry later"}})", Strength::block,
         {"[GPU3] share REJECTED job {job} (-32603: internal error, retry later null) hash "
          "000100000000000000000000… diff≈65536.000",
          "[GPU3] block REFUSED by the pool (-32603: internal error, retry later) job {job} diff≈65536.000 nonce "
          "{nonce}"},
         {.rejected = 1}, Before::nothing, JobKind::user, true},
        {"block refused as stale", "submit:stale", Strength::block,
         {"[GPU3] share STALE job {job} : stale share",
          "[GPU3] block REFUSED by the pool (-32010: stale share) job {job} diff≈65536.000 nonce {nonce}"},
         {.stale = 1}, Before::nothing, JobKind::user, true},
        {"another code with data",
         R"(submit:reply:200:{"error":{"code":-32001,"message":"bad nonce prefix","data":{"want":"0a0b","n":[1,2]}}})",
         Strength::share,
         {R"([GPU3] [dev fee] share REJECTED job {job} (-32001: bad nonce prefix {"n":[1,2],"want":"0a0b"}) hash )"
          "000100000000000000000000… diff≈65536.000"},
         {.rejected = 1}, Before::nothing, JobKind::dev},
    };
    for (const Case& c : cases) {
        Rig rig(c.fault.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.fault});
        const bool dev = c.job != JobKind::user;
        Share share = rig.share(c.strength, rig.variant(dev, c.job == JobKind::unnumbered), c.hash, c.is_block, 3);
        share.found_at -= c.age;
        if (c.before == Before::rotate) rig.bridge().rotate();
        if (c.before == Before::submit_it) {
            const json answer = rig.bridge().rpc("quantus_submitWork", submit_params(share, "qzUser", "rig"));
            ASSERT_TRUE(answer.contains("result")) << answer;
        }
        const std::uint64_t generation = job_slot_get(*rig.context.mining.slot).first;

        const auto lines = rig.run({share});

        expect_lines(lines, c.lines, share, c.what);
        EXPECT_EQ(tally(rig.stats->session(dev)), c.counted) << c.what;
        EXPECT_EQ(tally(rig.stats->session(!dev)), Tally{}) << c.what;
        EXPECT_EQ(rig.stats->net_errors.load(), 0u) << c.what;
        const auto sent = rig.submissions();
        ASSERT_EQ(sent.size(), c.before == Before::submit_it ? 2u : 1u) << c.what;
        EXPECT_EQ(sent.back().at("params"), submit_params(share, "qzUser", "rig")) << c.what;
        // A stale answer withdraws the current job, whose shares are then no longer live.
        const bool stale = c.counted.stale != 0;
        EXPECT_EQ(job_slot_get(*rig.context.mining.slot).first, generation + (stale ? 1 : 0)) << c.what;
        EXPECT_EQ(job_slot_is_live(*rig.context.mining.slot, share.job->job_id), !stale) << c.what;
    }
}

TEST(SubmitWorker, ShowsThePoolsTextSafelyAndSendsItsBytes) {
    const std::string hostile_id = std::string("1\0\x1b[31m#\xe2\x80\xae", 11);
    const std::string shown_id = "1\\x00\\x1b[31m#\\u202e";
    struct Case {
        const char* what;
        std::string fault;
        std::vector<std::string> lines;
        bool withdraws = false;  // the current job, found by its exact id
    };
    const Case cases[] = {
        {"error message and data",
         R"(submit:reply:200:{"error":{"code":-32099,"message":"bad \u001b]0;pwned\u0007","data":{"why":"\u202e\u0085"}}})",
         {"[GPU0] share REJECTED job " + shown_id + R"( (-32099: bad \x1b]0;pwned\x07 {"why":"\u202e\u0085"}) hash )"
          "000100000000000000000000… diff≈65536.000"}},
        {"status", R"(submit:reply:200:{"result":{"status":"ok\u001b[2K\u2066"}})",
         {"[GPU0] share accepted, status « ok\\x1b[2K\\u2066 » job " + shown_id + " (local block=false)"}},
        {"next difficulty", R"(submit:reply:200:{"result":{"status":"share","share_difficulty":"\u202e7"}})",
         {"[GPU0] share ACCEPTED job " + shown_id + " diff≈65536.000 (0 ms) → next diff \\u202e7"}},
        {"transport failure text", "submit:reply:503:\x1b[31mdown\x7f@3",
         {"[GPU0] soumission: HTTP 503: \\x1b[31mdown\\x7f — retry 1/3",
          "[GPU0] soumission: HTTP 503: \\x1b[31mdown\\x7f — retry 2/3",
          "[GPU0] share LOST (network) job " + shown_id + " : HTTP 503: \\x1b[31mdown\\x7f"}},
        {"stale message", R"(submit:reply:200:{"error":{"code":-32010,"message":"old\u001b[1A"}})",
         {"[GPU0] share STALE job " + shown_id + " : old\\x1b[1A"}, true},
    };
    for (const Case& c : cases) {
        Rig rig({c.fault});
        Job copy = *rig.job;
        copy.job_id = hostile_id;
        const auto job = std::make_shared<const Job>(std::move(copy));
        job_slot_install(*rig.context.mining.slot, job);
        const Share share = rig.share(Strength::share, job);
        expect_lines(rig.run({share}), c.lines, share, c.what);
        const auto sent = rig.submissions();
        ASSERT_FALSE(sent.empty()) << c.what;
        EXPECT_EQ(sent[0]["params"]["job_id"], hostile_id) << c.what;
        EXPECT_EQ(job_slot_get(*rig.context.mining.slot).second == nullptr, c.withdraws) << c.what;
    }
}

// Long pool texts are cut in the lines and sent back whole; only the lost
// block's line shows the whole job id, which the operator hands in with it.
TEST(SubmitWorker, CutsLongPoolTextsExceptALostBlocksId) {
    const std::string long_id = std::string(1000, 'j') + "#1";
    const std::string shown_id = std::string(200, 'j') + "…[1002 bytes in all]";
    const std::string text = std::string(5000, 'p');
    const std::string shown = std::string(200, 'p') + "…[5000 bytes in all]";
    struct Case {
        const char* what;
        std::string fault;
        std::string line;
    };
    const Case cases[] = {
        {"error message and data",
         R"(submit:reply:200:{"error":{"code":-32099,"message":")" + text + R"(","data":")" + text + R"("}})",
         "[GPU0] share REJECTED job " + shown_id + " (-32099: " + shown + " \"" + std::string(199, 'p') +
             "…[5002 bytes in all]) hash 000100000000000000000000… diff≈65536.000"},
        {"status", R"(submit:reply:200:{"result":{"status":")" + text + R"("}})",
         "[GPU0] share accepted, status « " + shown + " » job " + shown_id + " (local block=false)"},
        {"next difficulty", R"(submit:reply:200:{"result":{"status":"share","share_difficulty":")" + text + R"("}})",
         "[GPU0] share ACCEPTED job " + shown_id + " diff≈65536.000 (0 ms) → next diff " + shown},
    };
    const auto long_job = [](Rig& rig, const std::string& id) {
        Job copy = *rig.job;
        copy.job_id = id;
        const auto job = std::make_shared<const Job>(std::move(copy));
        job_slot_install(*rig.context.mining.slot, job);
        return job;
    };
    for (const Case& c : cases) {
        Rig rig({c.fault});
        const Share share = rig.share(Strength::share, long_job(rig, long_id));
        expect_lines(rig.run({share}), {c.line}, share, c.what);
        const auto sent = rig.submissions();
        ASSERT_FALSE(sent.empty()) << c.what;
        EXPECT_EQ(sent[0]["params"]["job_id"], long_id) << c.what;
    }
    Rig rig({"submit:reply:429:busy@*"});
    const Share block = rig.share(Strength::block, long_job(rig, long_id), HASH_65536, true);
    const std::vector<std::string> lines = rig.run({block});
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[GPU0] block LOST (network) job " + long_id + " diff≈65536.000 nonce " +
                                hex_encode(block.nonce) + " : HTTP 429: busy");
}

TEST(SubmitWorker, StaleAnswerDropsTheQueuedSharesOfItsJob) {
    Rig rig({"submit:stale"});
    Bytes64 stronger{};
    stronger[2] = 0x01;
    const Share first = rig.share(Strength::share, nullptr, stronger);
    const Share second = rig.share(Strength::share);
    const auto lines = rig.run({second, first}, [&] { return rig.handled() == 1 && rig.stats->abandoned == 1; });
    expect_lines(lines, {"[GPU0] share STALE job {job} : stale share"}, first, "stale");
    ASSERT_EQ(rig.submissions().size(), 1u);
    EXPECT_EQ(rig.submissions()[0]["params"]["nonce"], hex_encode(first.nonce));
    EXPECT_EQ(queue_len(*rig.context.mining.queue), 0u);
}

TEST(SubmitWorker, SendsEachSessionThroughItsClient) {
    struct Case {
        const char* what;
        bool dev_share;
        bool dev_client;
        std::string address, worker, line;
    };
    const Case cases[] = {
        {"user share", false, true, "qzUser", "rig",
         "[GPU1] share ACCEPTED job {job} diff≈65536.000 (0 ms) → next diff 16"},
        {"dev-fee share, no dev client: the user's identity", true, false, "qzUser", "rig",
         "[GPU1] [dev fee] share ACCEPTED job {job} diff≈65536.000 (0 ms) → next diff 16"},
        {"dev-fee share with its client", true, true, "qzDev", "devrig",
         "[GPU1] [dev fee] share ACCEPTED job {job} diff≈65536.000 (0 ms) → next diff 16"},
    };
    for (const Case& c : cases) {
        Rig rig({}, c.dev_client);
        const Share share = rig.share(Strength::share, rig.variant(c.dev_share), HASH_65536, false, 1);
        expect_lines(rig.run({share}), {c.line}, share, c.what);
        EXPECT_EQ(tally(rig.stats->session(c.dev_share)), Tally{.accepted = 1}) << c.what;
        EXPECT_EQ(tally(rig.stats->session(!c.dev_share)), Tally{}) << c.what;
        const auto sent = rig.submissions();
        ASSERT_EQ(sent.size(), 1u) << c.what;
        EXPECT_EQ(sent[0]["params"], submit_params(share, c.address, c.worker)) << c.what;
    }
}

TEST(SubmitWorker, RetriesTransportFailuresTwiceUnlessStopping) {
    struct Case {
        const char* what;
        std::vector<std::string> faults;
        bool stop_at_first_pause;
        std::vector<std::string> lines;
        std::uint64_t net_errors;
        Tally counted;
        std::chrono::milliseconds slept;
    };
    const std::string busy = "submit:reply:429:busy@3";
    const Case cases[] = {
        {"three failures",
         {busy},
         false,
         {"[GPU2] soumission: HTTP 429: busy — retry 1/3", "[GPU2] soumission: HTTP 429: busy — retry 2/3",
          "[GPU2] share LOST (network) job {job} : HTTP 429: busy"},
         3,
         {.rejected = 1},
         600ms},
        {"dropped connections",
         {"submit:close@3"},
         false,
         {"[GPU2] soumission: {*} — retry 1/3", "[GPU2] soumission: {*} — retry 2/3",
          "[GPU2] share LOST (network) job {job} : {*}"},
         3,
         {.rejected = 1},
         600ms},
        {"third attempt goes through",
         {"submit:reply:429:busy@2"},
         false,
         {"[GPU2] soumission: HTTP 429: busy — retry 1/3", "[GPU2] soumission: HTTP 429: busy — retry 2/3",
          "[GPU2] share ACCEPTED job {job} diff≈65536.000 ({*} ms) → next diff 16"},
         2,
         {.accepted = 1},
         600ms},
        {"stop flag set during the pause",
         {busy},
         true,
         {"[GPU2] soumission: HTTP 429: busy — retry 1/3", "[GPU2] share LOST (network) job {job} : HTTP 429: busy"},
         2,
         {.rejected = 1},
         300ms},
    };
    for (const Case& c : cases) {
        Rig rig(c.faults);
        if (c.stop_at_first_pause) rig.time.on_sleep([&] { rig.context.mining.stop_flag->store(true); });
        const Share share = rig.share(Strength::share, nullptr, HASH_65536, false, 2);
        expect_lines(rig.run({share}), c.lines, share, c.what);
        EXPECT_EQ(rig.stats->net_errors.load(), c.net_errors) << c.what;
        EXPECT_EQ(tally(rig.stats->user), c.counted) << c.what;
        EXPECT_EQ(rig.time.slept(), c.slept) << c.what;
        // One request per attempt, each with its own id.
        const auto sent = rig.submissions();
        const std::uint64_t attempts = c.net_errors + c.counted.accepted;
        EXPECT_EQ(sent.size(), attempts) << c.what;
        std::set<std::uint64_t> ids;
        for (const json& call : sent) {
            ids.insert(call.at("id").get<std::uint64_t>());
            EXPECT_EQ(call.at("params"), submit_params(share, "qzUser", "rig")) << c.what;
        }
        EXPECT_EQ(ids.size(), attempts) << c.what;
    }
}

namespace {


// The lines of failed rounds of a block against a pool that fails with
// `failure`: each of three attempts (only one while stopping), then the
// pause before the next round.
std::vector<std::string> failed_rounds_of(const std::string& failure, const std::vector<std::string>& pauses,
                                          bool stopping = false) {
    const std::string line = "[GPU2] soumission: " + failure + " — ";
    std::vector<std::string> lines;
    for (const std::string& pause : pauses) {
        if (!stopping) lines.insert(lines.end(), {line + "retry 1/3", line + "retry 2/3"});
        lines.push_back(line + "block kept, next try in " + pause + " s");
    }
    return lines;
}

std::vector<std::string> failed_rounds(const std::vector<std::string>& pauses, bool stopping = false) {
    return failed_rounds_of("HTTP 429: busy", pauses, stopping);
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<std::string> BLOCK_LINES = {
    "", "  ★  BLOCK FOUND  ★  job {job} hauteur 1 diff≈65536.000 nonce {nonce} hash 000100000000000000000000…", ""};

}  // namespace

// A block that cannot reach the pool goes back into the queue after each
// round of three attempts, and is tried again after 1, 2, 4, 8, then every
// 10 s, until any answer of the pool, or until two minutes after it was
// found: only then is it lost, printed whole and counted as rejected. At
// shutdown the round is one attempt, and a round that could not start a
// second before the drain's deadline is not waited for.
TEST(SubmitWorker, BlockOutlastsAnOutage) {
    struct Case {
        const char* what;
        std::vector<std::string> faults;
        bool at_shutdown;  // stop flag set and queue closed first: the drain sends it
        std::vector<std::string> lines;
        std::uint64_t net_errors;
        Tally counted;
        std::chrono::milliseconds slept;
        std::uint64_t attempts;
        std::chrono::seconds held_back = 0s;  // its next round, from an outage before the drain
    };
    const std::vector<std::string> ten_times_nine(9, "10");
    const Case cases[] = {
        {"back within the first pause", {"submit:reply:429:busy@3"}, false, failed_rounds({"1"}) + BLOCK_LINES, 3,
         {.accepted = 1, .blocks = 1}, 1600ms, 4},
        {"back after five rounds", {"submit:reply:429:busy@15"}, false,
         failed_rounds({"1", "2", "4", "8", "10"}) + BLOCK_LINES, 15, {.accepted = 1, .blocks = 1}, 28000ms, 16},
        {"down for two minutes: the last pause ends at 120 s, the first failure then loses it",
         {"submit:reply:429:busy@*"}, false,
         failed_rounds({"1", "2", "4", "8"}) + failed_rounds(ten_times_nine) + failed_rounds({"6.6"}) +
             std::vector<std::string>{
                 "[GPU2] block LOST (network) job {job} diff≈65536.000 nonce {nonce} : HTTP 429: busy"},
         43, {.rejected = 1}, 120000ms, 43},
        {"a refusal after the outage is final",
         {"submit:reply:429:busy@3", R"(submit:reply:200:{"error":{"code":-32001,"message":"bad nonce prefix"}})"},
         false,
         failed_rounds({"1"}) +
             std::vector<std::string>{"[GPU2] share REJECTED job {job} (-32001: bad nonce prefix null) hash "
                                      "000100000000000000000000… diff≈65536.000",
                                      "[GPU2] block REFUSED by the pool (-32001: bad nonce prefix) job {job} "
                                      "diff≈65536.000 nonce {nonce}"},
         3, {.rejected = 1}, 1600ms, 4},
        {"drained: one attempt a round, back before the deadline", {"submit:reply:429:busy@3"}, true,
         failed_rounds({"1", "2", "4"}, true) + BLOCK_LINES, 3, {.accepted = 1, .blocks = 1}, 7000ms, 4},
        {"drained: still down at 7 s, the next round due after the drain", {"submit:reply:429:busy@*"}, true,
         failed_rounds({"1", "2", "4"}, true) +
             std::vector<std::string>{
                 "[GPU2] block LOST (shutdown) job {job} diff≈65536.000 nonce {nonce} : HTTP 429: busy"},
         4, {.rejected = 1}, 7000ms, 4},
        // Its round would come after the last attempt may start: it gets
        // its attempt at once, and the pool is back.
        {"drained: held back past the drain's end, tried at once", {}, true, BLOCK_LINES, 0,
         {.accepted = 1, .blocks = 1}, 0ms, 1, 10s},
        // A gateway's 5xx may come after the pool had the request.
        {"drained: a gateway answers 504 throughout", {"submit:reply:504:busy@*"}, true,
         failed_rounds_of("HTTP 504: busy", {"1", "2", "4"}, true) +
             std::vector<std::string>{"[GPU2] block UNCONFIRMED (shutdown) job {job} diff≈65536.000 nonce {nonce} : "
                                      "HTTP 504: busy — a request for it went out unanswered: the pool may have it"},
         4, {.rejected = 1}, 7000ms, 4},
    };
    for (const Case& c : cases) {
        Rig rig(c.faults);
        const Share block = rig.share(Strength::block, nullptr, HASH_65536, true, 2);
        std::vector<std::string> lines;
        if (c.at_shutdown) {
            rig.context.mining.stop_flag->store(true);
            Share held = block;
            held.retry_at = rig.time.now() + c.held_back;
            rig.push(held);
            rig.context.drain->begin(rig.time.now());
            queue_close(*rig.context.mining.queue);
            testing::internal::CaptureStdout();
            submit_worker(rig.context);
            lines = split_lines(testing::internal::GetCapturedStdout());
        } else {
            lines = rig.run({block});
        }
        expect_lines(lines, c.lines, block, c.what);
        EXPECT_EQ(rig.stats->net_errors.load(), c.net_errors) << c.what;
        EXPECT_EQ(tally(rig.stats->user), c.counted) << c.what;
        EXPECT_EQ(rig.time.slept(), c.slept) << c.what;
        EXPECT_EQ(rig.submissions().size(), c.attempts) << c.what;
        EXPECT_EQ(queue_len(*rig.context.mining.queue), 0u) << c.what;
    }
}

// A lost block's line is what the operator hands to the pool: a job id the
// console cannot show as it is comes escaped and as its exact bytes.
TEST(SubmitWorker, LostBlockOfAnUnprintableJobIdGivesItsBytes) {
    Rig rig({"submit:reply:429:busy@*"});
    Job copy = *rig.job;
    copy.job_id = std::string("1\0\x1b[31m#\xff", 9);
    const auto job = std::make_shared<const Job>(std::move(copy));
    job_slot_install(*rig.context.mining.slot, job);
    const Share block = rig.share(Strength::block, job, HASH_65536, true, 2);
    const std::vector<std::string> lines = rig.run({block});
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[GPU2] block LOST (network) job 1\\x00\\x1b[31m#\xef\xbf\xbd (job id bytes "
                            "31001b5b33316d23ff) diff≈65536.000 nonce " +
                                hex_encode(block.nonce) + " : HTTP 429: busy");
}

// While a block waits for its next round, the worker sends what else is
// queued; the block is tried again once its pause is over.
TEST(SubmitWorker, OtherSharesGoWhileABlockWaits) {
    Rig rig({"submit:reply:429:busy@3"});
    const Share block = rig.share(Strength::block, nullptr, HASH_65536, true, 2);
    Bytes64 weaker{};
    weaker[3] = 0x01;
    const Share share = rig.share(Strength::share, nullptr, weaker, false, 2);
    const auto lines = rig.run({block, share});
    ASSERT_EQ(lines.size(), 7u) << testing::PrintToString(lines);
    EXPECT_TRUE(line_matches("[GPU2] share ACCEPTED job {job} diff≈{*} (600 ms) → next diff 16", lines[3], share))
        << lines[3];
    std::vector<std::string> order;
    for (const json& call : rig.submissions()) order.push_back(call["params"]["nonce"]);
    const std::string b = hex_encode(block.nonce), o = hex_encode(share.nonce);
    EXPECT_EQ(order, (std::vector<std::string>{b, b, b, o, b}));
    EXPECT_EQ(tally(rig.stats->user), (Tally{.accepted = 2, .blocks = 1}));
    EXPECT_EQ(rig.time.slept(), 1600ms);
}

// The drain's deadline: no attempt starts in its last second, an attempt
// gets only the time left, and an early end cuts off the attempt in flight.
// Every block not sent is printed whole and counted as rejected: "LOST"
// when no request for it went out, "UNCONFIRMED" when one went out and the
// pool (which holds every submission here) never answered. The ordinary
// share left queued is neither sent nor counted. (Fake time stands still
// during a transfer, so with 1.3 s left both blocks get one attempt.)
TEST(SubmitWorker, DrainEndsAtItsDeadline) {
    struct Case {
        const char* what;
        std::chrono::milliseconds left;  // of the drain, at its start
        bool cut_early;
        std::vector<std::pair<std::string, int>> lines;  // pattern, and which block fills it
        std::uint64_t submissions;
    };
    const std::string unsent =
        "[GPU0] block LOST (shutdown) job {job} diff≈65536.000 nonce {nonce} : not sent before the shutdown deadline";
    const std::string unconfirmed = "[GPU0] block UNCONFIRMED (shutdown) job {job} diff≈65536.000 nonce {nonce} : ";
    const std::string unanswered = " — a request for it went out unanswered: the pool may have it";
    const std::string timed_out = unconfirmed + "Operation timed out after {*}" + unanswered;
    const Case cases[] = {
        {"already passed", 0ms, false, {{unsent, 0}, {unsent, 1}}, 0},
        {"under a second left: no attempt starts", 900ms, false, {{unsent, 0}, {unsent, 1}}, 0},
        {"1.3 s left: an attempt gets 1.3 s, not the client's 5 s, and is answered in none", 1300ms, false,
         {{timed_out, 0}, {timed_out, 1}}, 2},
        {"ended early: the attempt in flight is cut off", 10000ms, true,
         {{unconfirmed + "transfer cut off: the miner is stopping" + unanswered, 0}, {unsent, 1}}, 1},
    };
    for (const Case& c : cases) {
        Rig rig({"submit:hang@*"});
        Bytes64 weaker = HASH_65536;
        weaker[5] = 0x01;
        const Share blocks[] = {rig.share(Strength::block, nullptr, HASH_65536, true),
                                rig.share(Strength::block, nullptr, weaker, true)};
        rig.context.mining.stop_flag->store(true);
        for (const Share& s : {blocks[0], blocks[1], rig.share(Strength::share)}) rig.push(s);
        rig.context.drain->begin(rig.time.now() - SubmitDrain::LENGTH + c.left);
        queue_close(*rig.context.mining.queue);

        testing::internal::CaptureStdout();
        std::thread worker(submit_worker, std::cref(rig.context));
        if (c.cut_early) {
            Rig::wait_until([&] { return rig.bridge().counters().submit == 1; });
            rig.context.drain->end_now(rig.time.now());
        }
        worker.join();
        const auto lines = split_lines(testing::internal::GetCapturedStdout());

        ASSERT_EQ(lines.size(), c.lines.size()) << c.what << ": " << testing::PrintToString(lines);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto& [pattern, which] = c.lines[i];
            EXPECT_TRUE(line_matches(pattern, lines[i], blocks[which])) << c.what << ": line " << i << " is\n  "
                                                                         << lines[i] << "\nexpected\n  " << pattern;
            if (pattern == timed_out) {
                EXPECT_LT(std::stoi(lines[i].substr(lines[i].find("after ") + 6)), 5000) << c.what;
            }
        }
        EXPECT_EQ(rig.submissions().size(), c.submissions) << c.what;
        EXPECT_EQ(tally(rig.stats->user), Tally{.rejected = 2}) << c.what;
        EXPECT_EQ(queue_len(*rig.context.mining.queue), 1u) << c.what << ": the ordinary share stays";
    }
}

TEST(SubmitWorker, ShutdownSendsEveryLateBlockOnceAndNoLateShare) {
    constexpr int WORKERS = 4;
    constexpr int LATE_BLOCKS = 6;  // at least WORKERS: a worker yet to see the flag takes a block, never a share
    Rig rig;
    std::vector<Share> early, late_blocks, late_shares;
    for (int i = 0; i < 2; ++i) early.push_back(rig.share(Strength::share));
    for (int i = 0; i < LATE_BLOCKS; ++i) late_blocks.push_back(rig.share(Strength::block, nullptr, HASH_65536, true));
    for (int i = 0; i < 3; ++i) late_shares.push_back(rig.share(Strength::share));

    for (const Share& s : early) rig.push(s);
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int i = 0; i < WORKERS; ++i) threads.emplace_back(submit_worker, std::cref(rig.context));
    Rig::wait_until([&] { return rig.handled() == early.size(); });
    rig.context.mining.stop_flag->store(true);
    // Long enough for every worker to see the flag: they must wait for the close.
    std::this_thread::sleep_for(300ms);
    for (const Share& s : late_blocks) rig.push(s);
    for (const Share& s : late_shares) rig.push(s);
    rig.shut_down(threads);
    const auto lines = split_lines(testing::internal::GetCapturedStdout());

    std::multiset<std::string> sent, expected;
    for (const json& call : rig.submissions()) sent.insert(call["params"]["nonce"].get<std::string>());
    for (const Share& s : early) expected.insert(hex_encode(s.nonce));
    for (const Share& s : late_blocks) expected.insert(hex_encode(s.nonce));
    EXPECT_EQ(sent, expected);
    const BridgeCounters bridge = rig.bridge().counters();
    EXPECT_EQ(bridge.blocks, static_cast<std::uint64_t>(LATE_BLOCKS));
    EXPECT_EQ(bridge.duplicate, 0u);
    EXPECT_EQ(tally(rig.stats->user), (Tally{.accepted = 2 + LATE_BLOCKS, .blocks = LATE_BLOCKS}));
    EXPECT_EQ(std::ranges::count_if(lines, [](const std::string& l) { return l.contains("BLOCK FOUND"); }),
              LATE_BLOCKS);
    EXPECT_EQ(queue_len(*rig.context.mining.queue), late_shares.size());
    EXPECT_EQ(rig.stats->abandoned.load(), 0u);
}

// A queue closed while the stop flag is still clear gets no more shares: the
// worker sends what is left and ends instead of spinning on empty takes.
TEST(SubmitWorker, EndsWhenTheQueueIsClosedBeforeTheStopFlag) {
    Rig rig;
    rig.push(rig.share(Strength::share));
    queue_close(*rig.context.mining.queue);
    testing::internal::CaptureStdout();
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        submit_worker(rig.context);
        finished = true;
    });
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    while (!finished && std::chrono::steady_clock::now() < give_up) std::this_thread::sleep_for(1ms);
    const bool ended_by_itself = finished;
    rig.context.mining.stop_flag->store(true);
    worker.join();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ended_by_itself);
    EXPECT_EQ(rig.stats->user.accepted.load(), 1u);
}

TEST(HashDifficulty, ReadsEightBytesFromTheFirstNonZeroOne) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // the rest are zero
        double difficulty;
    };
    const Case cases[] = {
        {"all zero", {}, INFINITY},
        {"00 01", {{1, 0x01}}, 65536.0},
        {"top bit", {{0, 0x80}}, 2.0},
        {"all ones", {{0, 0xff}, {1, 0xff}, {2, 0xff}, {3, 0xff}, {4, 0xff}, {5, 0xff}, {6, 0xff}, {7, 0xff}}, 1.0},
        {"eight bytes after two zero bytes",
         {{2, 0x12}, {3, 0x34}, {4, 0x56}, {5, 0x78}, {6, 0x9a}, {7, 0xbc}, {8, 0xde}, {9, 0xf0}},
         std::ldexp(1.0, 80) / 0x123456789abcdef0p0},
        {"first non-zero at 60, short window", {{60, 0x01}, {61, 0x02}, {62, 0x03}, {63, 0x04}},
         std::ldexp(1.0, 512) / 0x01020304},
        {"only the last byte", {{63, 0x01}}, std::ldexp(1.0, 512)},
    };
    for (const Case& c : cases) {
        Bytes64 hash{};
        for (const auto& [at, value] : c.bytes) hash[at] = value;
        if (std::isinf(c.difficulty)) {
            EXPECT_EQ(hash_difficulty(hash), c.difficulty) << c.what;
        } else {
            EXPECT_DOUBLE_EQ(hash_difficulty(hash), c.difficulty) << c.what;
        }
    }
}
