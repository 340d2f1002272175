// Fault drills: the built ovik_dtc_sim (two 1-SM stand-in GPUs) run end to
// end against the test pool bridge while the pool, the network, the GPUs,
// the submission queue, the tuning cache or the operator misbehave. Each
// drill states what must hold afterwards: the exit status, the summary
// line, the counters that the faults explain, nothing invalid at the pool,
// and the behaviour that the fault calls for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "poseidon2-core/src/hash.hpp"
#include "src/base/hex.hpp"
#include "src/pool/submit_worker.hpp"
#include "src/pow/target.hpp"
#include "src/selftest/vectors.hpp"
#include "src/tune/tune_cache.hpp"
#include "tests/pool-bridge/bridge_process.hpp"
#include "tests/support/std_regex.hpp"
#include "tests/support/temp_files.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string TWO_GPUS = "Sim H100,1,90,0000:01:00.0;Sim H100,1,90,0000:02:00.0";

// `prefix` followed by f digits up to 128: "0000" makes a target that one
// hash in 65536 meets, "00003" one in 262144, "003f" one in 1024.
std::string target(const std::string& prefix) { return prefix + std::string(128 - prefix.size(), 'f'); }
const std::string SHARE_1_IN_65536 = target("0000");
const std::string BLOCK_1_IN_262144 = target("00003");
const std::string SHARE_1_IN_8192 = target("0007");
const std::string SHARE_1_IN_1024 = target("003f");

using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;

// AddressSanitizer's options as given, and one more (only a sanitized
// miner reads them).
std::pair<std::string, std::optional<std::string>> with_asan_option(const std::string& option) {
    const char* given = std::getenv("ASAN_OPTIONS");
    return {"ASAN_OPTIONS", fmt::format("{}{}{}", given ? given : "", given ? ":" : "", option)};
}

std::size_t occurrences(const std::string& text, const std::string& needle, std::size_t from = 0) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle, from); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// ovik_dtc_sim as a child process whose standard output and error go to
// files, read while it runs; killed by the destructor if still running.
// Standard output may instead be a pipe whose reader is gone from the start.
enum class Output { file, closed_pipe };

class Miner {
public:
    // `pin`: on two CPUs (below); false for the auto-tune, whose
    // measurements would take minutes on two shared CPUs.
    Miner(const std::vector<std::string>& args, const Env& env = {}, bool pin = true, Output output = Output::file) {
        out_path_ = dir_.path() / "out";
        err_path_ = dir_.path() / "err";
        std::map<std::string, std::string> vars;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::size_t eq = entry.find('=');
            if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        Env all = {{"VEZEZIRUZ_SIM_DEVICES", TWO_GPUS}, {"NO_COLOR", "1"}, {"VEZEZIRUZ_INTERNAL", "1"},
                   {"VEZEZIRUZ_SIM_FAIL", std::nullopt}};
        all.insert(all.end(), env.begin(), env.end());
        for (const auto& [name, value] : all) {
            if (value)
                vars[name] = *value;
            else
                vars.erase(name);
        }
        std::vector<std::string> env_text;
        for (const auto& [name, value] : vars) env_text.push_back(name + "=" + value);
        std::vector<std::string> argv_text = {OVIK_DTC_SIM_BINARY};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (auto& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env_text) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        int pipe_ends[2] = {-1, -1};
        if (output == Output::closed_pipe) {
            if (::pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
            posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
            posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
            posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        // The child inherits this thread's CPUs: it mines on two of them
        // (the test declares two processors to ctest), so that drills run
        // in parallel with other tests do not starve them.
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        const bool pinned = pin && ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && pin_two_cpus(allowed);
        const int rc = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
        for (const int end : pipe_ends)
            if (end >= 0) ::close(end);  // the reader gone: every write to it fails
        if (pinned) ::sched_setaffinity(0, sizeof allowed, &allowed);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (rc != 0) throw std::runtime_error("posix_spawn failed");
    }
    ~Miner() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Miner(const Miner&) = delete;
    Miner& operator=(const Miner&) = delete;

    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }
    std::size_t out_size() const { return out().size(); }

    // The resident memory's peak so far (VmHWM), in KiB; nullopt once it has exited.
    std::optional<std::uint64_t> peak_resident_kib() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6));
        return std::nullopt;
    }

    bool running() {
        if (status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }

    // Waits until `done` holds for the standard output; false when the
    // time runs out or the miner exits first.
    bool wait_for(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (done(out())) return true;
            if (!running()) return done(out());
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    // Waits for `count` occurrences of `needle` from offset `from`.
    bool wait_for_text(const std::string& needle, std::chrono::milliseconds timeout, std::size_t count = 1,
                       std::size_t from = 0) {
        return wait_for([&](const std::string& out) { return occurrences(out, needle, from) >= count; }, timeout);
    }
    bool wait_for_regex(const std::string& pattern, std::chrono::milliseconds timeout, std::size_t from = 0) {
        const std::regex re(pattern);
        return wait_for(
            [&](const std::string& out) {
                return from <= out.size() && std::regex_search(out.begin() + from, out.end(), re);
            },
            timeout);
    }

    // Sends `number`; true when the miner was still running to receive it.
    bool signal(int number) { return running() && ::kill(pid_, number) == 0; }

    // The exit status; nullopt (and the miner killed) when it runs past `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (running()) {
            if (Clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                int status = 0;
                ::waitpid(pid_, &status, 0);
                status_ = -1;
                return std::nullopt;
            }
            std::this_thread::sleep_for(20ms);
        }
        return status_;
    }
private:
    // Restricts the calling thread to two of the `allowed` CPUs, chosen by
    // the process id so that parallel drills spread out.
    static bool pin_two_cpus(const cpu_set_t& allowed) {
        std::vector<int> cpus;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
        if (cpus.size() <= 2) return false;
        const std::size_t first = static_cast<std::size_t>(::getpid()) * 2 % cpus.size();
        cpu_set_t two;
        CPU_ZERO(&two);
        CPU_SET(cpus[first], &two);
        CPU_SET(cpus[(first + 1) % cpus.size()], &two);
        return ::sched_setaffinity(0, sizeof two, &two) == 0;
    }

    TempDir dir_;
    fs::path out_path_, err_path_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// The usual command line: the user's session only (an internal rig), no
// auto-tune, a [stats] line every second, a short long-poll.
std::vector<std::string> mining_args(const std::string& url, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--pool",        url,   "--address",    "qzMiner", "--worker",      "rig",
                                     "--no-dev-fee",  "--no-autotune", "--stats-every", "1",   "--wait-ms", "1000"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct Summary {
    std::uint64_t hashes = 0, accepted = 0, rejected = 0, stale = 0, duplicates = 0, dedup = 0, abandoned = 0,
                  queue_full = 0, blocks = 0, mismatch = 0;
};

std::optional<Summary> parse_summary(const std::string& out) {
    static const std::regex line(
        R"(\nsummary: (\d+) hashes in \d+ s \([0-9.]+ MH/s avg\) \| accepted (\d+) rejected (\d+) stale (\d+) )"
        R"(duplicates (\d+) \(dedup (\d+)\) abandoned (\d+) \(queue full (\d+)\) \| blocks (\d+) \| GPU≠host (\d+)\n)");
    std::smatch m;
    if (!std::regex_search(out, m, line)) return std::nullopt;
    const auto n = [&](int i) { return std::stoull(m[i].str()); };
    return Summary{n(1), n(2), n(3), n(4), n(5), n(6), n(7), n(8), n(9), n(10)};
}

// A figure of the last [stats] line: the number after "| `label` ".
std::optional<std::uint64_t> last_stats_figure(const std::string& out, const std::string& label) {
    const std::regex figure(R"(\[stats\] [^\n]*\| )" + label + R"( (\d+) \|)");
    std::optional<std::uint64_t> last;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), figure); it != std::sregex_iterator(); ++it)
        last = std::stoull((*it)[1].str());
    return last;
}

std::optional<std::uint64_t> last_net_errors(const std::string& out) { return last_stats_figure(out, "net err"); }

BridgeCounters counters_of(BridgeProcess& bridge) {
    const ProcessResult stopped = bridge.stop();
    const std::optional<BridgeCounters> counters = parse_counters_line(stopped.out);
    EXPECT_TRUE(counters) << stopped.out << stopped.err;
    return counters.value_or(BridgeCounters{});
}

BridgeCounters operator+(BridgeCounters a, const BridgeCounters& b) {
    a.getwork += b.getwork;
    a.submit += b.submit;
    a.other += b.other;
    a.accepted += b.accepted;
    a.blocks += b.blocks;
    a.late += b.late;
    a.stale += b.stale;
    a.duplicate += b.duplicate;
    a.invalid += b.invalid;
    return a;
}

const std::string ACCEPTED = "share ACCEPTED";
const std::string BLOCK_FOUND = "★  BLOCK FOUND  ★";
const std::string LOST = "share LOST (network)";
const std::string BLOCK_LOST = "block LOST (";
const std::string BLOCK_UNCONFIRMED = "block UNCONFIRMED (";
const std::string BLOCK_KEPT = "— block kept, next try in ";

// What every drill ends with: its status (0 but where a GPU failed), one
// shutdown and one summary, no
// GPU/host mismatch, nothing invalid at the pool, every block the miner
// announces counted in its summary, stale and duplicate verdicts as the
// pool gave them, and every submission rejected only by the network.
// Returns the summary for the drill's own checks.
Summary expect_orderly_end(Miner& miner, std::optional<int> status, const BridgeCounters& pool,
                           int expected_status = 0) {
    const std::string out = miner.out();
    EXPECT_EQ(status, expected_status) << miner.err();
    EXPECT_EQ(occurrences(out, "shutdown requested — finishing current batches…\n"), 1u);
    EXPECT_EQ(occurrences(out, "\nsummary: "), 1u) << out;
    const std::optional<Summary> summary = parse_summary(out);
    EXPECT_TRUE(summary) << out;
    const Summary s = summary.value_or(Summary{});
    EXPECT_EQ(s.mismatch, 0u);
    EXPECT_EQ(occurrences(out, "GPU/HOST MISMATCH"), 0u);
    EXPECT_EQ(pool.invalid, 0u) << pool;
    EXPECT_EQ(s.blocks, occurrences(out, BLOCK_FOUND));
    EXPECT_EQ(s.stale, pool.stale) << pool;
    EXPECT_EQ(s.duplicates, pool.duplicate) << pool;
    EXPECT_EQ(s.rejected, occurrences(out, LOST) + occurrences(out, BLOCK_LOST) + occurrences(out, BLOCK_UNCONFIRMED))
        << "only the network rejects a share here";
    EXPECT_EQ(occurrences(out, "share REJECTED"), 0u);
    return s;
}

// ---- The pool killed and restarted on the same port ------------------------------

struct Outage {
    const char* name;
    std::chrono::seconds down;  // at least
    bool past_60_s;             // down until the miner drops the job
};

void PrintTo(const Outage& o, std::ostream* out) { *out << o.name; }

class PoolRestart : public ::testing::TestWithParam<Outage> {};

// Every share here is a block (one target for both), found steadily on two
// GPUs. While the pool is down the poller retries with a growing pause (1,
// 2, 4, 8, then 10 s; its message at most every 5 s) and the GPUs keep
// mining the job they have; a block the pool cannot be reached for goes
// back into the queue and is tried again later. Past 60 s without contact
// the job is dropped and the GPUs wait. The pool comes back with the same
// job (the same job seed), as a restarted pool does while the chain has not
// moved. Every block found before, during and after the outage reaches a
// pool: none is lost.
TEST_P(PoolRestart, EveryBlockReachesThePool) {
    const Outage outage = GetParam();
    const std::vector<std::string> pool_args = {"--share-target", SHARE_1_IN_65536, "--block-target",
                                                SHARE_1_IN_65536, "--job-seed", "17"};
    auto first = std::make_unique<BridgeProcess>(pool_args);
    const int port = first->port();
    Miner miner(mining_args(first->url()));
    ASSERT_TRUE(miner.wait_for_text(BLOCK_FOUND, 90s, 2)) << miner.out();
    const std::size_t at_kill = miner.out_size();
    const BridgeCounters before = counters_of(*first);
    first.reset();
    const auto killed = Clock::now();

    ASSERT_TRUE(miner.wait_for_regex(R"(\[pool\] getBlockTemplate: network: [^\n]+ — retry in 1 s\n)", 10s, at_kill))
        << miner.out().substr(at_kill);
    ASSERT_TRUE(miner.wait_for_text(BLOCK_KEPT, 60s, 1, at_kill)) << "a block found while the pool is down";
    if (outage.past_60_s) {
        ASSERT_TRUE(miner.wait_for_text("[pool] unreachable for 60 s: job dropped, GPUs paused\n", 90s, 1, at_kill))
            << miner.out().substr(at_kill);
        const std::size_t at_drop = miner.out().find("[pool] unreachable for 60 s", at_kill);
        // A worker sees the drop once the batch it has in flight is in, which
        // takes seconds with sanitizers on a loaded machine.
        EXPECT_TRUE(miner.wait_for_text("| job NONE |", 30s, 1, at_drop)) << "the stats line shows no job";
        EXPECT_TRUE(miner.wait_for_text("[GPU0] waiting for a job\n", 30s, 1, at_drop)) << miner.out().substr(at_kill);
        EXPECT_TRUE(miner.wait_for_text("[GPU1] waiting for a job\n", 30s, 1, at_drop)) << miner.out().substr(at_kill);
    }
    std::this_thread::sleep_until(killed + outage.down);  // the length of the outage is the drill's own
    const std::size_t at_restart = miner.out_size();
    std::vector<std::string> restart_args = {"--port", std::to_string(port)};
    restart_args.insert(restart_args.end(), pool_args.begin(), pool_args.end());
    BridgeProcess second(restart_args);
    if (outage.past_60_s) {
        ASSERT_TRUE(miner.wait_for_regex(R"(\[pool\] job 1#[0-9a-f]{4} \[user\] \(new\) height 1 )", 30s, at_restart))
            << miner.out().substr(at_restart);
    }
    // The blocks kept through the outage, then new ones.
    ASSERT_TRUE(miner.wait_for([&](const std::string&) { return second.counters().blocks >= 3; }, 90s))
        << miner.out().substr(at_restart);
    const std::size_t at_resume = miner.out_size();
    ASSERT_TRUE(miner.wait_for_text(BLOCK_FOUND, 90s, 1, at_resume)) << miner.out().substr(at_resume);
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(30s);
    const BridgeCounters after = counters_of(second);
    const BridgeCounters pool = before + after;

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(occurrences(out, LOST), 0u) << out.substr(at_kill);
    EXPECT_EQ(occurrences(out, BLOCK_LOST), 0u) << out.substr(at_kill);
    EXPECT_EQ(occurrences(out, BLOCK_UNCONFIRMED), 0u) << out.substr(at_kill);
    EXPECT_EQ(s.rejected, 0u);
    EXPECT_EQ(s.accepted, s.blocks) << "every share is a block";
    EXPECT_GE(before.blocks, 2u);
    EXPECT_GE(after.blocks, 3u);
    // A block whose answer the kill cut off is sent again, and the restarted
    // pool counts it once more: at most one per submit thread.
    EXPECT_GE(pool.blocks, s.blocks) << pool;
    EXPECT_LE(pool.blocks, s.blocks + 4) << pool;
    EXPECT_EQ(occurrences(out.substr(0, at_kill), BLOCK_KEPT), 0u) << "blocks are kept only while the pool is down";
    // The pool had answered: the never-received warning is not for this case.
    EXPECT_EQ(occurrences(out, "NO JOB EVER RECEIVED"), 0u);
    if (outage.past_60_s) {
        // The pause grew to its 10 s cap, the message throttled to every 5 s.
        const std::string outage_text = out.substr(at_kill, at_restart - at_kill);
        EXPECT_NE(outage_text.find("— retry in 8 s\n"), std::string::npos) << outage_text;
        EXPECT_NE(outage_text.find("— retry in 10 s\n"), std::string::npos) << outage_text;
        EXPECT_EQ(outage_text.find("— retry in 2 s\n"), std::string::npos) << outage_text;
    } else {
        EXPECT_EQ(occurrences(out, "job dropped"), 0u);
        EXPECT_EQ(occurrences(out, "[pool] job "), 1u) << "the restarted pool serves the same job";
    }
}

INSTANTIATE_TEST_SUITE_P(Drills, PoolRestart,
                         ::testing::Values(Outage{"DownFourSeconds", 4s, false},
                                           Outage{"DownThirtySeconds", 30s, false},
                                           Outage{"DownPastSixtySeconds", 60s, true}),
                         [](const auto& test) { return std::string(test.param.name); });

// ---- Blocks queued at shutdown ----------------------------------------------------------

// One GPU in small, throttled batches, with every share a block (one in
// 1024 hashes): blocks come a few at a time, and the hashes stay few
// enough to be checked here one by one.
std::vector<std::string> throttled_gpu(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--gpu-list", "0", "--blocks", "8", "--throttle-ms", "100"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// What the pool served: the job's id, header and block target.
struct PoolJob {
    std::string id;
    Bytes32 mining_hash;
    Bytes64 block_target;
};

PoolJob current_job(const BridgeProcess& bridge) {
    const nlohmann::json result =
        bridge.rpc("quantus_getBlockTemplate", {{"address", "qzMiner"}, {"worker", "probe"}, {"wait_ms", 0}})
            .at("result");
    return {result.at("job_id"), *hex_decode_array<32>(result.at("mining_hash").get<std::string>()),
            *parse_target_hex(result.at("block_target").get<std::string>())};
}

Bytes64 pow_hash(const PoolJob& job, const Bytes64& nonce) {
    std::uint8_t input[poseidon2::INPUT_LEN];
    std::memcpy(input, job.mining_hash.data(), job.mining_hash.size());
    std::memcpy(input + job.mining_hash.size(), nonce.data(), nonce.size());
    return poseidon2::poseidon2_hash_bytes(input);
}

// The blocks among the first `hashes` nonces of one GPU on one job: the
// nonce's first 56 bytes, as in any nonce it found, then the counter from
// 0. What the GPU found, known here without the miner's word for it.
std::set<std::string> blocks_hashed(const PoolJob& job, const std::string& any_nonce_hex, std::uint64_t hashes) {
    Bytes64 nonce = *hex_decode_array<64>(any_nonce_hex);
    std::set<std::string> found;
    for (std::uint64_t counter = 0; counter < hashes; ++counter) {
        for (int b = 0; b < 8; ++b) nonce[56 + b] = static_cast<std::uint8_t>(counter >> (56 - 8 * b));
        if (hash_meets_target(pow_hash(job, nonce), job.block_target)) found.insert(hex_encode(nonce));
    }
    return found;
}

// The nonces of the "BLOCK FOUND" lines.
std::vector<std::string> blocks_accepted(const std::string& out) {
    static const std::regex line(R"(★  BLOCK FOUND  ★  job \S+ hauteur \S+ diff≈\S+ nonce ([0-9a-f]{128}) hash)");
    std::vector<std::string> nonces;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        nonces.push_back((*it)[1].str());
    return nonces;
}

// A block printed for the operator to hand in: "LOST" (no request for it
// went out) or "UNCONFIRMED" (one went out unanswered).
struct LostBlock {
    std::string kind, why, job_id, diff, nonce;
};

std::vector<LostBlock> blocks_printed(const std::string& out, const std::string& only_kind = "") {
    static const std::regex line(
        R"(\[GPU\d+\] block (LOST|UNCONFIRMED) \((\w+)\) job (\S+) diff≈(\S+) nonce ([0-9a-f]{128}) : [^\n]+\n)");
    std::vector<LostBlock> printed;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        if (only_kind.empty() || (*it)[1].str() == only_kind)
            printed.push_back({(*it)[1].str(), (*it)[2].str(), (*it)[3].str(), (*it)[4].str(), (*it)[5].str()});
    return printed;
}

std::vector<LostBlock> blocks_lost(const std::string& out) { return blocks_printed(out, "LOST"); }
std::vector<LostBlock> blocks_unconfirmed(const std::string& out) { return blocks_printed(out, "UNCONFIRMED"); }

// Where the pool left the blocks whose requests it was sent but never
// answered: dropped unread (a hang), taken with the answer too late, or
// either (the pool killed under them).
enum class Unanswered { dropped, taken, unknown };

// Each block the GPU found is either accepted by the pool or printed for
// the operator, once, with its job, nonce and difficulty; a block the pool
// took is never printed lost.
void expect_every_block_accounted(const std::string& out, const PoolJob& job, const Summary& s,
                                  const BridgeCounters& pool, Unanswered unanswered = Unanswered::dropped) {
    const std::vector<std::string> accepted = blocks_accepted(out);
    const std::vector<LostBlock> printed = blocks_printed(out);
    ASSERT_FALSE(accepted.empty() && printed.empty()) << out;
    std::set<std::string> seen(accepted.begin(), accepted.end());
    for (const LostBlock& block : printed) {
        EXPECT_TRUE(seen.insert(block.nonce).second) << "printed twice, or also accepted: " << block.nonce;
        EXPECT_EQ(block.job_id, job.id);
        EXPECT_EQ(block.diff, fmt::format("{:.3f}", hash_difficulty(pow_hash(job, *hex_decode_array<64>(block.nonce)))));
    }
    const std::set<std::string> found =
        blocks_hashed(job, accepted.empty() ? printed.front().nonce : accepted.front(), s.hashes);
    EXPECT_EQ(seen, found) << "the blocks the GPU found";
    const std::size_t lost = blocks_lost(out).size(), unconfirmed = blocks_unconfirmed(out).size();
    switch (unanswered) {
        case Unanswered::dropped:
            EXPECT_EQ(pool.blocks + lost + unconfirmed, found.size()) << pool;
            break;
        case Unanswered::taken:
            EXPECT_EQ(pool.blocks + lost, found.size()) << pool;
            EXPECT_EQ(pool.blocks, accepted.size() + unconfirmed) << pool;
            break;
        case Unanswered::unknown:
            EXPECT_LE(pool.blocks + lost, found.size()) << pool;
            EXPECT_GE(pool.blocks + lost + unconfirmed, found.size()) << pool;
            break;
    }
    EXPECT_EQ(s.rejected, printed.size());
}

struct QueuedStop {
    PoolJob job;
    std::optional<int> status;
    Clock::duration took;  // from the signal to the exit
};

// Once a [stats] line shows `queued` shares waiting, notes the pool's job
// and sends SIGINT; then waits for the exit.
QueuedStop sigint_with_queue(Miner& miner, const BridgeProcess& bridge, std::uint64_t queued) {
    QueuedStop stop{};
    EXPECT_TRUE(miner.wait_for([&](const std::string& out) { return last_stats_figure(out, "queue") >= queued; }, 60s))
        << miner.out();
    stop.job = current_job(bridge);
    const auto signalled = Clock::now();
    EXPECT_TRUE(miner.signal(SIGINT));
    stop.status = miner.wait_exit(120s);
    stop.took = Clock::now() - signalled;
    return stop;
}

// The pool answers five submissions, then takes the others in and never
// answers: the blocks queue up behind the four that hang. A SIGINT ends
// the miner within the drain's 10 s and the last batch: status 0, and one
// line for every block not sent, with its full job id, its nonce and its
// difficulty, so that the operator can still hand it to the pool: those
// whose requests hung "UNCONFIRMED", the others "LOST".
TEST(Drills, DeadPoolAtShutdownPrintsEveryUnsentBlock) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024, "--fault",
                          "submit:delay:0@5", "--fault", "submit:hang@*"});
    Miner miner(mining_args(bridge.url(), throttled_gpu()));
    const QueuedStop stop = sigint_with_queue(miner, bridge, 40);
    EXPECT_LT(stop.took, 20s) << "the drain ends 10 s after the queue is closed";
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, stop.status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(pool.blocks, 5u) << pool;
    EXPECT_GE(blocks_printed(out).size(), 36u) << "the queue, and the four that hung";
    EXPECT_GE(blocks_unconfirmed(out).size(), 4u) << "the four that hung at the SIGINT, at least";
    for (const LostBlock& block : blocks_printed(out)) EXPECT_EQ(block.why, "shutdown");
    expect_every_block_accounted(out, stop.job, s, pool, Unanswered::dropped);
}

// Every submission is answered 4 s after the pool took it, four at a time,
// far slower than the blocks come. The drain's last attempts start with
// their answers due after its deadline: the pool takes those blocks, and
// the miner, cut off before the answer, says they may have reached it. No
// block the pool took is printed lost, and none starts in the drain's
// last second.
TEST(Drills, BlocksAnsweredAfterTheDeadlineAreUnconfirmed) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024, "--fault",
                          "submit:delay:4000@*"});
    Miner miner(mining_args(bridge.url(), throttled_gpu()));
    const QueuedStop stop = sigint_with_queue(miner, bridge, 20);
    EXPECT_LT(stop.took, 20s);
    std::this_thread::sleep_for(5s);  // the pool takes what was sent last, after its delay
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, stop.status, pool);
    const std::string out = miner.out();
    EXPECT_GE(blocks_unconfirmed(out).size(), 4u) << out;
    for (const LostBlock& block : blocks_printed(out)) EXPECT_EQ(block.why, "shutdown");
    expect_every_block_accounted(out, stop.job, s, pool, Unanswered::taken);
}

// A pool that answers every submission after 100 ms, two at a time, slower
// than the blocks come: the queue grows. At the SIGINT the drain sends
// every block left, well within its deadline.
TEST(Drills, SlowPoolGetsEveryQueuedBlockAtShutdown) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024, "--fault",
                          "submit:delay:100@*"});
    Miner miner(mining_args(bridge.url(), throttled_gpu({"--submit-threads", "2"})));
    const QueuedStop stop = sigint_with_queue(miner, bridge, 20);
    EXPECT_LT(stop.took, 20s);
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, stop.status, pool);
    const std::string out = miner.out();
    EXPECT_TRUE(blocks_lost(out).empty()) << out;
    EXPECT_EQ(s.blocks, pool.blocks);
    expect_every_block_accounted(out, stop.job, s, pool);
}

// The pool goes away while blocks come: they are kept for later tries. At
// a SIGINT the drain keeps trying them; a SIGTERM then ends it at once,
// long before its 10 s are up, and every block not sent is printed.
TEST(Drills, SecondSignalEndsTheDrainAtOnce) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024});
    Miner miner(mining_args(bridge.url(), throttled_gpu()));
    ASSERT_TRUE(miner.wait_for_text(BLOCK_FOUND, 60s, 3)) << miner.out();
    const PoolJob job = current_job(bridge);
    const BridgeCounters pool = counters_of(bridge);
    const std::size_t at_kill = miner.out_size();
    ASSERT_TRUE(miner.wait_for_text(BLOCK_KEPT, 30s, 1, at_kill)) << miner.out().substr(at_kill);
    ASSERT_TRUE(miner.signal(SIGINT));
    ASSERT_TRUE(miner.wait_for_text("shutdown requested", 10s));
    const std::size_t at_shutdown = miner.out().find("shutdown requested");
    ASSERT_TRUE(miner.wait_for_text(BLOCK_KEPT, 10s, 1, at_shutdown)) << "the drain is trying the blocks";
    const auto second = Clock::now();
    ASSERT_TRUE(miner.signal(SIGTERM));
    const std::optional<int> status = miner.wait_exit(60s);
    EXPECT_LT(Clock::now() - second, 5s) << "at once, not at the drain's deadline";

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_FALSE(blocks_lost(out).empty());
    for (const LostBlock& block : blocks_printed(out)) EXPECT_EQ(block.why, "shutdown");
    expect_every_block_accounted(out, job, s, pool, Unanswered::unknown);
}

// ---- A GPU call that takes long, or hangs, at the shutdown --------------------------------

// The stand-in's hold of the n-th batch collect of the process.
Env held_collect(int nth, std::chrono::milliseconds hold) {
    return {{"VEZEZIRUZ_SIM_FAIL", fmt::format("cudaEventSynchronize@{}:hold={}", nth, hold.count())}};
}

// One GPU in batches of 8192 hashes: with one hash in 1024 a block, a few
// blocks in every batch.
const std::vector<std::string> SMALL_BATCHES = {"--gpu-list", "0", "--blocks", "8", "--threads", "256", "--iters", "4"};
constexpr std::uint64_t SMALL_BATCH = 8 * 256 * 4;
constexpr std::uint64_t DEFAULT_CAP = 256;  // candidates a batch reports at most

// A pool that never answers a submission, and every share a block: blocks
// come far faster than they go. The queue holds 1024 of them; the GPU
// worker with one more then waits for room, hashing nothing, with a line
// at most every 10 s. At the SIGINT every block found, more than the bound,
// is either at the pool or on a line with its nonce; memory and the lines
// stay bounded by what is kept, and the shutdown by its 10 s.
TEST(Drills, BlocksBeyondTheQueueBoundWaitAndNoneIsLost) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024, "--fault",
                          "submit:hang@*"});
    Miner miner(mining_args(bridge.url(), SMALL_BATCHES));
    ASSERT_TRUE(miner.wait_for_text("[pool] block queue full (1024 blocks) since ", 120s)) << miner.out().substr(0, 4000);
    const std::size_t at_full = miner.out().find("[pool] block queue full");
    EXPECT_TRUE(miner.wait_for_text("[stats] 0.0 MH/s", 30s, 1, at_full)) << "no hashing while the GPU waits";
    const PoolJob job = current_job(bridge);
    const std::optional<std::uint64_t> peak_kib = miner.peak_resident_kib();
    const auto signalled = Clock::now();
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(60s);
    EXPECT_LT(Clock::now() - signalled, 20s) << "the drain's 10 s and the last batches";
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_LT(peak_kib.value_or(0), 256u * 1024) << "KiB";
    EXPECT_GT(blocks_printed(out).size(), 1024u) << "the bound's worth, and the blocks that waited for room";
    EXPECT_LE(blocks_printed(out).size(), 1024u + 2 * DEFAULT_CAP + 8) << "the queue, two batches and those in flight";
    EXPECT_EQ(occurrences(out, "blocks dropped"), 0u);
    const std::size_t last = out.rfind("[pool] block queue full");
    ASSERT_NE(last, std::string::npos);
    EXPECT_NE(out.find("waits in all", last), std::string::npos) << "a last line at the shutdown";
    expect_every_block_accounted(out, job, s, pool, Unanswered::dropped);
}

// One GPU, every share a block, and its first collect held for 35 s: the
// SIGINT comes while it waits, and both of its batches, blocks in them,
// come in long after, later than any fixed wait for the queue's close.
// The drain starts at the close, whenever that is: every block reaches the
// pool.
TEST(Drills, BlocksOfALongLastBatchReachThePool) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024});
    Miner miner(mining_args(bridge.url(), SMALL_BATCHES), held_collect(1, 35s));
    ASSERT_TRUE(miner.wait_for_text("[pool] job ", 30s)) << miner.out();
    const PoolJob job = current_job(bridge);
    std::this_thread::sleep_for(1s);  // the worker is in its first collect
    EXPECT_EQ(occurrences(miner.out(), BLOCK_FOUND), 0u) << "the first batch is still held";
    const auto signalled = Clock::now();
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(90s);
    EXPECT_GT(Clock::now() - signalled, 30s) << "the shutdown waited for the held batch";
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(s.hashes, 2 * SMALL_BATCH) << "the held batch and the one launched after it";
    EXPECT_TRUE(blocks_printed(out).empty()) << out;
    EXPECT_GT(pool.blocks, 0u);
    expect_every_block_accounted(out, job, s, pool);
}

// The pool holds every submission unanswered, and the GPU's third collect
// hangs. A SIGINT waits for the GPU worker; a second signal ends the
// shutdown at once all the same: every block found gets its line (those
// whose requests hung "UNCONFIRMED", the others "LOST"), the summary
// follows, and the status is 0, while the GPU thread is still held.
TEST(Drills, SecondSignalEndsTheShutdownWhileAGpuCallHangs) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024, "--fault",
                          "submit:hang@*"});
    Miner miner(mining_args(bridge.url(), SMALL_BATCHES), held_collect(3, 600s));
    ASSERT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().submit >= 4; }, 60s))
        << miner.out();
    const PoolJob job = current_job(bridge);
    ASSERT_TRUE(miner.signal(SIGINT));
    ASSERT_TRUE(miner.wait_for_text("shutdown requested", 10s));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(miner.running()) << "the shutdown waits for the held GPU worker";
    const auto second = Clock::now();
    ASSERT_TRUE(miner.signal(SIGTERM));
    const std::optional<int> status = miner.wait_exit(60s);
    EXPECT_LT(Clock::now() - second, 5s) << "at once, not when the GPU call ends";
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(s.hashes, 2 * SMALL_BATCH) << "the two batches collected before the hold";
    EXPECT_GE(blocks_unconfirmed(out).size(), 4u) << "the four held by the pool";
    expect_every_block_accounted(out, job, s, pool, Unanswered::dropped);
}

// ---- What the pool answers to a block ------------------------------------------------

// The nonces the pool was sent, from its request log.
std::set<std::string> nonces_sent(const fs::path& log) {
    std::set<std::string> sent;
    std::istringstream lines(read_file(log));
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json body = nlohmann::json::parse(nlohmann::json::parse(line).at("body").get<std::string>());
        if (body.at("method") == "quantus_submitWork") sent.insert(body.at("params").at("nonce").get<std::string>());
    }
    return sent;
}

// The nonces of the "block REFUSED" lines, each with its job and difficulty.
std::vector<LostBlock> blocks_refused(const std::string& out) {
    static const std::regex line(
        R"(\[GPU\d+\] block REFUSED by the pool \((-?\d+): [^\n]*\) job (\S+) diff≈(\S+) nonce ([0-9a-f]{128})\n)");
    std::vector<LostBlock> refused;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        refused.push_back({"REFUSED", (*it)[1].str(), (*it)[2].str(), (*it)[3].str(), (*it)[4].str()});
    return refused;
}

struct BlockAnswer {
    const char* name;
    std::string fault;  // every submission
    bool pool_keeps;    // the pool records the block before it answers
};

void PrintTo(const BlockAnswer& a, std::ostream* out) { *out << a.name; }

class PoolAnswersToBlocks : public ::testing::TestWithParam<BlockAnswer> {};

// Every share a block, and each submission answered the row's way. A 504
// from a gateway that passed the request on: the pool has the block, so it
// is never printed lost, only unconfirmed. A refusal such as −32603: the
// block is printed with its nonce, to be handed in once the pool is well.
// Either way, each block sent is on a line that gives its job, difficulty
// and nonce.
TEST_P(PoolAnswersToBlocks, EveryBlockSentIsPrintedWithItsNonce) {
    const BlockAnswer a = GetParam();
    TempDir dir;
    const fs::path log = dir.path() / "requests.jsonl";
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024, "--log-requests",
                          log.string(), "--fault", a.fault});
    Miner miner(mining_args(bridge.url(), throttled_gpu()));
    ASSERT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().submit >= 8; }, 60s)) << miner.out();
    const PoolJob job = current_job(bridge);
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(60s);
    const BridgeCounters pool = counters_of(bridge);

    EXPECT_EQ(status, 0) << miner.err();
    const std::string out = miner.out();
    EXPECT_EQ(occurrences(out, "\nsummary: "), 1u);
    const std::set<std::string> sent = nonces_sent(log);
    ASSERT_FALSE(sent.empty());
    std::set<std::string> on_a_line;
    for (const LostBlock& b : blocks_lost(out)) EXPECT_FALSE(sent.contains(b.nonce)) << "printed lost, but sent";
    for (const LostBlock& b : blocks_unconfirmed(out)) on_a_line.insert(b.nonce);
    for (const LostBlock& b : blocks_refused(out)) {
        on_a_line.insert(b.nonce);
        EXPECT_EQ(b.job_id, job.id);
        EXPECT_EQ(b.diff, fmt::format("{:.3f}", hash_difficulty(pow_hash(job, *hex_decode_array<64>(b.nonce)))));
    }
    for (const std::string& nonce : sent) EXPECT_TRUE(on_a_line.contains(nonce)) << nonce;
    if (a.pool_keeps) {
        EXPECT_GE(pool.blocks, sent.size()) << pool;
        EXPECT_TRUE(blocks_refused(out).empty());
    } else {
        EXPECT_EQ(blocks_refused(out).size(), pool.submit) << "one line a refusal";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Drills, PoolAnswersToBlocks,
    ::testing::Values(BlockAnswer{"GatewayTimeoutAfterThePoolTookIt", "submit:served-reply:504:gateway timeout@*", true},
                      BlockAnswer{"BadGatewayAfterThePoolTookIt", "submit:served-reply:502:bad gateway@*", true},
                      BlockAnswer{"InternalErrorRefusal",
                                  R"(submit:reply:200:{"error":{"code":-32603,"message":"internal error, retry later"}}@*)",
                                  false}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- A name resolver that turns slow ----------------------------------------------------

// The environment that makes the submissions' name lookups take 30 s (the
// job poller's stay quick), for a pool named "pool.slow-dns.test".
Env slow_submission_lookups() {
    // The shim comes before the sanitizer's runtime in the preload list.
    return {{"LD_PRELOAD", SLOW_DNS_SHIM},
            {"OVIK_TEST_SLOW_DNS_THREADS", "submit"},
            {"OVIK_TEST_SLOW_DNS_MS", "30000"},
            with_asan_option("verify_asan_link_order=0")};
}

struct SlowLookupStop {
    const char* name;
    bool second_signal;              // half a second after the first
    std::chrono::milliseconds limit;  // from the last signal to the exit
};

void PrintTo(const SlowLookupStop& c, std::ostream* out) { *out << c.name; }

class SlowNameLookups : public ::testing::TestWithParam<SlowLookupStop> {};

// The pool is named, and every submission's lookup of its name hangs for
// 30 s, as with a resolver whose server is gone: blocks queue up behind
// four lookups. The shutdown is bounded however long a lookup takes: one
// signal ends it within the drain's 10 s and the second it waits past
// them, a second signal at once; every block found is on a line.
TEST_P(SlowNameLookups, TheShutdownEndsInBoundAndEveryBlockIsPrinted) {
    const SlowLookupStop c = GetParam();
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", SHARE_1_IN_1024});
    const std::string named = "http://pool.slow-dns.test:" + std::to_string(bridge.port());
    Miner miner(mining_args(named, throttled_gpu()), slow_submission_lookups());
    ASSERT_TRUE(miner.wait_for([](const std::string& out) { return last_stats_figure(out, "queue") >= 8u; }, 60s))
        << miner.out();
    const PoolJob job = current_job(bridge);
    ASSERT_TRUE(miner.signal(SIGINT));
    if (c.second_signal) {
        ASSERT_TRUE(miner.wait_for_text("shutdown requested", 10s));
        std::this_thread::sleep_for(500ms);
        ASSERT_TRUE(miner.signal(SIGINT));
    }
    const auto signalled = Clock::now();
    const std::optional<int> status = miner.wait_exit(60s);
    EXPECT_LT(Clock::now() - signalled, c.limit) << "not when the lookups end";
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(pool.submit, 0u) << "no lookup ever ended";
    EXPECT_FALSE(blocks_printed(out).empty());
    expect_every_block_accounted(out, job, s, pool, Unanswered::dropped);
}

INSTANTIATE_TEST_SUITE_P(Drills, SlowNameLookups,
                         ::testing::Values(SlowLookupStop{"OneSignal", false, 16s},
                                           SlowLookupStop{"SecondSignal", true, 2s}),
                         [](const auto& test) { return std::string(test.param.name); });

// ---- Garbage and 503 answers, then recovery -------------------------------------------

// With one submission at a time, three failed tries lose a share: the
// 503s lose one, the unreadable bodies another. Then three getwork answers
// fail (503, not JSON, a template without its fields) while the GPUs keep
// mining the job they have. Every faulted request is one network error;
// the pool counts as accepted exactly what the miner does.
TEST(Drills, GarbageAnd503AnswersThenRecovery) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_65536,
                          "--fault", "submit:reply:503:busy, come back later@3",
                          "--fault", "submit:reply:200:<html>proxy error</html>@3",
                          "--fault", "getwork:reply:503:upstream down@1",
                          "--fault", "getwork:reply:200:\x01\x02 not json@1",
                          "--fault", R"(getwork:reply:200:{"jsonrpc":"2.0","id":1,"result":{"job_id":"x"}}@1)"});
    Miner miner(mining_args(bridge.url(), {"--submit-threads", "1"}));
    ASSERT_TRUE(
        miner.wait_for_regex(R"(\[pool\] getBlockTemplate: network: HTTP 503: upstream down — retry in 1 s\n)", 60s))
        << miner.out();
    const std::size_t at_getwork_faults = miner.out().find("[pool] getBlockTemplate: network: HTTP 503");
    ASSERT_TRUE(miner.wait_for([](const std::string& out) { return last_net_errors(out) == 9u; }, 30s))
        << miner.out().substr(at_getwork_faults);
    const std::size_t at_recovered = miner.out_size();
    ASSERT_TRUE(miner.wait_for_text(ACCEPTED, 30s, 3, at_recovered));
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(30s);
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(last_net_errors(out), 9u);
    EXPECT_EQ(s.rejected, 2u);
    EXPECT_EQ(occurrences(out, "soumission: HTTP 503: busy, come back later — retry "), 2u) << out;
    EXPECT_EQ(occurrences(out, "soumission: JSON illisible: "), 2u) << out;
    EXPECT_EQ(s.accepted, pool.accepted) << pool;
    EXPECT_EQ(pool.submit, pool.accepted + pool.stale + pool.duplicate + 6) << pool;
    EXPECT_GE(occurrences(out, ACCEPTED, at_getwork_faults), 3u) << "mining went on while getwork failed";
    EXPECT_EQ(occurrences(out, "job dropped"), 0u);
    EXPECT_EQ(occurrences(out, "| job NONE |", at_getwork_faults), 0u);
}

// ---- Hostile pool texts and hints ------------------------------------------------------

struct HostilePool {
    const char* name;
    std::vector<std::string> bridge_args;
    std::string awaited;  // in the output, `times` times, before the SIGINT
    std::size_t times;
    std::size_t longest_line;  // bytes
    std::uint64_t peak_mib = 512;  // resident memory
    double getwork_per_s = 0;    // the most job requests a second over the run; 0: not checked
    std::size_t console_bytes = 0;  // the most the console may hold at the end; 0: not checked
};

void PrintTo(const HostilePool& h, std::ostream* out) { *out << h.name; }

class HostilePools : public ::testing::TestWithParam<HostilePool> {};

std::size_t longest_line(const std::string& text) {
    std::size_t longest = 0;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        longest = std::max(longest, end - start);
    return longest;
}

// A pool whose texts or hints are out of all measure: job ids of 1 MiB
// (once 2 MiB of memory and of console per share), ids of the longest
// length accepted, a retry hint of 2^64 - 1 ms (once no request ever
// again), difficulty texts of 4 MiB in a new job at every answer whose
// every hash is a block (once 1.8 GB of memory in 50 s), a pool that never
// holds the long-poll (once thousands of requests a second), a new job at
// every answer (once a job line each, megabytes of console). Memory, the
// console and every line stay bounded by size, the miner asks a few times
// a second at most and goes on asking, and the password of the pool URL is
// never shown.
TEST_P(HostilePools, MemoryAndLinesStayBounded) {
    const HostilePool h = GetParam();
    BridgeProcess bridge(h.bridge_args);
    const std::string host = bridge.url().substr(std::string("http://").size());
    const auto started = Clock::now();
    // A sanitized miner keeps 256 MB of freed memory by default, which
    // would hide what the miner itself keeps.
    Miner miner(mining_args("http://miner:hunter2@" + host), {with_asan_option("quarantine_size_mb=16")});
    ASSERT_TRUE(miner.wait_for_text(h.awaited, 60s, h.times)) << miner.out().substr(0, 4000);
    const std::optional<std::uint64_t> peak_kib = miner.peak_resident_kib();
    const double run_s = std::chrono::duration<double>(Clock::now() - started).count();
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(30s);
    const BridgeCounters pool = counters_of(bridge);

    expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_LT(peak_kib.value_or(0), h.peak_mib * 1024) << "KiB";
    EXPECT_LE(longest_line(out), h.longest_line);
    if (h.getwork_per_s > 0) {
        EXPECT_LE(static_cast<double>(pool.getwork) / run_s, h.getwork_per_s) << pool;
    }
    if (h.console_bytes > 0) {
        EXPECT_LE(out.size(), h.console_bytes);
    }
    EXPECT_NE(out.find("  Pool        http://miner:***@" + host + "\n"), std::string::npos);
    EXPECT_EQ(out.find("hunter2"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Drills, HostilePools,
    ::testing::Values(
        // Refused at every answer: nothing mined, and the lines show 2048
        // characters of each template.
        HostilePool{"MegabyteJobIds",
                    {"--job-id-bytes", "1048576"},
                    "[pool] getBlockTemplate: network: invalid template: job_id: expected at most 1024 bytes, got "
                    "1048576 ({",
                    2,
                    2300},
        // Mined, and shown cut in every line.
        HostilePool{"LongestJobIds", {"--job-id-bytes", "1024", "--share-target", SHARE_1_IN_1024}, ACCEPTED, 20, 600},
        HostilePool{"EndlessRetryHint",
                    {"--fault", "getwork:delay:0@1", "--fault", "getwork:no-work:18446744073709551615@1"},
                    "[pool] job 1#",
                    2,
                    600},
        // Every hash a block, and no submission answered: each queued block
        // keeps its job, some 40 jobs of 8 MiB in 30 s, once all kept whole.
        HostilePool{"HugeDifficultyTexts",
                    {"--rotate-every-answer", "--difficulty-text-bytes", "4194304", "--share-target", target(""),
                     "--block-target", target(""), "--fault", "submit:hang@*", "--no-delay"},
                    "[stats]",
                    30,
                    800,
                    128},
        // Twenty seconds of each: the same job at once, no job and "retry
        // in 0 ms", a new job at every answer (shares one hash in 2^24, so
        // that the job lines are most of what is printed: some 9 KB, 15 KB
        // with a line for every job).
        HostilePool{"InstantAnswers", {"--max-wait-ms", "0", "--no-delay"}, "[stats]", 20, 600, 512, 8},
        HostilePool{"RetryAtOnce", {"--fault", "getwork:no-work:0@*", "--no-delay"}, "[stats]", 20, 600, 512, 8},
        HostilePool{"NewJobAtEveryAnswer",
                    {"--rotate-every-answer", "--no-delay", "--share-target", target("000000")},
                    "[stats]",
                    20,
                    600,
                    512,
                    8,
                    12 * 1024}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- A long-poll held past the client's time-out ----------------------------------------

// --wait-ms 1000 gives the getwork call a 16 s time-out. The pool holds the
// second long-poll for 17 s: the call times out, counts one network error
// and is retried a second later, while the GPUs mine the job they have
// throughout (the job is neither dropped nor withdrawn). A later long-poll
// held for 60 s does not hold up a SIGINT: the miner leaves the poller
// behind and exits.
TEST(Drills, LongPollHeldPastTheClientTimeOut) {
    // Shares often enough that a sanitized miner on a loaded machine still
    // finds several during the 16 s hold.
    BridgeProcess bridge({"--share-target", SHARE_1_IN_8192, "--fault", "getwork:delay:0@1", "--fault",
                          "getwork:delay:17000@1", "--fault", "getwork:delay:0@1", "--fault", "getwork:delay:60000@1"});
    Miner miner(mining_args(bridge.url()));
    ASSERT_TRUE(miner.wait_for_text("[pool] job 1#", 30s));
    ASSERT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().getwork >= 2; }, 10s));
    const std::size_t at_hold = miner.out_size();
    ASSERT_TRUE(miner.wait_for_regex(
        R"(\[pool\] getBlockTemplate: network: Operation timed out after 1[56]\d\d\d milliseconds[^\n]* — retry in 1 s\n)",
        25s, at_hold))
        << miner.out().substr(at_hold);
    const std::string held = miner.out().substr(at_hold);
    EXPECT_GE(occurrences(held, ACCEPTED), 3u) << "mining went on during the hold";
    ASSERT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().getwork >= 4; }, 10s));
    std::this_thread::sleep_for(1s);
    const auto signalled = Clock::now();
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(30s);
    EXPECT_LT(Clock::now() - signalled, 20s) << "the held long-poll does not hold up the exit";
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(s.accepted, pool.accepted);
    EXPECT_EQ(last_net_errors(out), 1u);
    EXPECT_EQ(occurrences(out, "[pool] job "), 1u) << "the same job all along";
    EXPECT_EQ(occurrences(out, "job dropped"), 0u);
    EXPECT_EQ(occurrences(out, "| job NONE |"), 0u);
}

// ---- A redirect loop on getwork ------------------------------------------------------------

// The pool answers two long-polls with a redirect loop, then one with a
// two-hop chain. The client follows at most five redirects: each loop costs
// the requests to /r/1 … /r/5 and never one to /r/6, one network error and
// the usual pause; the chain is followed to its end and the job is the same
// one. The GPUs mine throughout.
TEST(Drills, RedirectLoopOnGetwork) {
    TempDir dir;
    const fs::path log = dir.path() / "requests.jsonl";
    BridgeProcess bridge({"--share-target", SHARE_1_IN_65536, "--log-requests", log.string(),  //
                          "--fault", "getwork:delay:0@1", "--fault", "getwork:redirect-loop@2",   //
                          "--fault", "getwork:redirect:2@1"});
    Miner miner(mining_args(bridge.url()));
    const auto hops = [&] {
        std::map<std::string, int> paths;
        std::istringstream lines(read_file(log));
        for (std::string line; std::getline(lines, line);)
            if (const auto request = nlohmann::json::parse(line, nullptr, false); request.is_object())
                ++paths[request.value("path", "")];
        return paths;
    };
    ASSERT_TRUE(miner.wait_for_regex(
        R"(\[pool\] getBlockTemplate: network: Maximum \(5\) redirects followed — retry in 1 s\n)", 30s))
        << miner.out();
    const std::size_t at_loop = miner.out().find("Maximum (5) redirects followed");
    ASSERT_TRUE(miner.wait_for([&](const std::string&) { return hops()["/r/2"] >= 3; }, 20s));
    const std::size_t at_chain = miner.out_size();
    ASSERT_TRUE(miner.wait_for_text(ACCEPTED, 30s, 3, at_chain));
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(30s);
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    const std::map<std::string, int> seen = hops();
    const std::map<std::string, int> want = {{"/r/1", 3}, {"/r/2", 3}, {"/r/3", 2}, {"/r/4", 2}, {"/r/5", 2}};
    for (const auto& [path, n] : want) EXPECT_EQ(seen.count(path) ? seen.at(path) : 0, n) << path;
    EXPECT_EQ(seen.count("/r/6"), 0u);
    EXPECT_EQ(last_net_errors(out), 2u);
    EXPECT_EQ(occurrences(out, "[pool] job "), 1u) << "the same job all along";
    EXPECT_GE(occurrences(out, ACCEPTED, at_loop), 3u);
    EXPECT_EQ(s.accepted, pool.accepted);
    EXPECT_EQ(occurrences(out, "| job NONE |"), 0u);
}

// ---- SIGINT and SIGTERM in each phase -------------------------------------------------

enum class Phase { autotune, idle, mining, shutdown };

struct SignalCase {
    const char* name;
    Phase phase;
    int first;
    int second;  // 0: none; otherwise sent during the shutdown
};

void PrintTo(const SignalCase& c, std::ostream* out) { *out << c.name; }

class Signals : public ::testing::TestWithParam<SignalCase> {};

// Start-up (the auto-tune of one GPU, 15 to 30 s): the signal is noted and
// takes effect as soon as the threads start, so nothing is mined and no
// [stats] line printed. Idle (the pool has no work): the GPUs wait and
// the miner stops at once. Mining: it stops at once and the pool counts
// what the miner counts. A second signal while the shutdown waits for
// submissions that the pool never answers cuts them off at once: they are
// reported lost. Status 0 and one summary every time.
TEST_P(Signals, EachPhaseEndsInAnOrderlyShutdown) {
    const SignalCase c = GetParam();
    TempDir config;
    std::vector<std::string> bridge_args = {"--share-target", SHARE_1_IN_65536};
    if (c.phase == Phase::idle) bridge_args.insert(bridge_args.end(), {"--fault", "getwork:no-work:200@*"});
    if (c.phase == Phase::shutdown)
        bridge_args.insert(bridge_args.end(), {"--fault", "submit:delay:0@2", "--fault", "submit:hang@*"});
    BridgeProcess bridge(bridge_args);
    // Small batches in the shutdown phase, so that the GPUs' last ones take
    // no time next to the submissions' 10 s.
    std::vector<std::string> args =
        mining_args(bridge.url(), c.phase == Phase::shutdown ? std::vector<std::string>{"--blocks", "8"}
                                                             : std::vector<std::string>{});
    if (c.phase == Phase::autotune) {
        // The energy kernel's geometry alone: the shortest auto-tune.
        std::erase(args, "--no-autotune");
        args.insert(args.end(), {"--gpu-list", "0", "--kernel", "energy"});
    }
    Miner miner(args, {{"XDG_CONFIG_HOME", config.path().string()}}, c.phase != Phase::autotune);

    // The exit waits for the batches in flight, slow on a loaded machine.
    std::chrono::seconds allowed = 20s;
    switch (c.phase) {
        case Phase::autotune:
            ASSERT_TRUE(miner.wait_for_text("measuring kernels and batch geometry", 30s)) << miner.out();
            allowed = 90s;
            break;
        case Phase::idle:
            ASSERT_TRUE(miner.wait_for_text("[GPU0] waiting for a job\n", 30s)) << miner.out();
            ASSERT_TRUE(miner.wait_for_text("[GPU1] waiting for a job\n", 30s)) << miner.out();
            ASSERT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().getwork >= 3; }, 10s));
            break;
        case Phase::mining:
            ASSERT_TRUE(miner.wait_for_text(ACCEPTED, 60s, 2)) << miner.out();
            break;
        case Phase::shutdown:
            ASSERT_TRUE(miner.wait_for_text(ACCEPTED, 60s, 2)) << miner.out();
            ASSERT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().submit >= 3; }, 30s))
                << "a submission hangs";
            break;
    }
    const auto signalled = Clock::now();
    ASSERT_TRUE(miner.signal(c.first));
    auto second_sent = Clock::now();
    if (c.second != 0) {
        ASSERT_TRUE(miner.wait_for_text("shutdown requested", 10s));
        second_sent = Clock::now();
        EXPECT_TRUE(miner.signal(c.second)) << "the second signal came after the exit";
    }
    const std::optional<int> status = miner.wait_exit(120s);
    EXPECT_LT(Clock::now() - signalled, allowed);
    if (c.second != 0) {
        EXPECT_LT(Clock::now() - second_sent, 5s) << "not after the hanging submissions' 10 s";
    }
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_EQ(s.accepted, pool.accepted) << pool;
    EXPECT_EQ(miner.err(), "");
    switch (c.phase) {
        case Phase::autotune:
            EXPECT_TRUE(std::regex_search(out, std::regex(R"(\[tune\] GPU0 → energy )"))) << "the tune ran to its end";
            EXPECT_EQ(occurrences(out, "[stats]"), 0u);
            EXPECT_EQ(s.hashes, 0u);
            EXPECT_EQ(pool.submit, 0u);
            break;
        case Phase::idle:
            EXPECT_EQ(s.hashes, 0u);
            EXPECT_EQ(pool.submit, 0u);
            EXPECT_EQ(occurrences(out, "[pool] job "), 0u);
            break;
        case Phase::mining:
            EXPECT_GT(s.hashes, 0u);
            EXPECT_GE(s.accepted, 2u);
            break;
        case Phase::shutdown:
            EXPECT_EQ(s.accepted, 2u);
            EXPECT_GE(occurrences(out, "share LOST (network) job 1#"), 1u);
            EXPECT_GE(occurrences(out, " : transfer cut off: the miner is stopping\n"), 1u) << out;
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Drills, Signals,
                         ::testing::Values(SignalCase{"SigintDuringAutotune", Phase::autotune, SIGINT, 0},
                                           SignalCase{"SigtermDuringAutotune", Phase::autotune, SIGTERM, 0},
                                           SignalCase{"SigintWhileIdle", Phase::idle, SIGINT, 0},
                                           SignalCase{"SigtermWhileIdle", Phase::idle, SIGTERM, 0},
                                           SignalCase{"SigintWhileMining", Phase::mining, SIGINT, 0},
                                           SignalCase{"SigtermWhileMining", Phase::mining, SIGTERM, 0},
                                           SignalCase{"SighupWhileMining", Phase::mining, SIGHUP, 0},
                                           SignalCase{"SigintTwice", Phase::shutdown, SIGINT, SIGINT},
                                           SignalCase{"SigtermThenSigint", Phase::shutdown, SIGTERM, SIGINT}),
                         [](const auto& test) { return std::string(test.param.name); });

// A second signal during the start-up ends the process at once: during
// the auto-tune (minutes on a rig of eight GPUs) with status 0 and nothing
// of the cut-off tune saved; during the self-test mode with status 1 and
// how far it came, for 0 says every vector was checked and exact. The first
// signal alone waits for the threads, as above.
enum class StartupPhase { autotune, selftest };

struct StartupStop {
    const char* name;
    StartupPhase phase;
    int status;
    std::string last_line;  // after "stop requested twice during the start-up — exiting now"
};

void PrintTo(const StartupStop& c, std::ostream* out) { *out << c.name; }

class SecondSignalDuringTheStartup : public ::testing::TestWithParam<StartupStop> {};

TEST_P(SecondSignalDuringTheStartup, ExitsAtOnce) {
    const StartupStop c = GetParam();
    TempDir config;
    BridgeProcess bridge({"--share-target", SHARE_1_IN_65536});
    std::vector<std::string> args;
    std::string running;  // what shows the phase under way
    if (c.phase == StartupPhase::autotune) {
        args = mining_args(bridge.url(), {"--gpu-list", "0", "--kernel", "energy"});
        std::erase(args, "--no-autotune");
        running = "measuring kernels and batch geometry";
    } else {
        // Eight vectors, and production batches long enough that the second
        // GPU/kernel run is under way for seconds.
        std::string lines;
        for (std::size_t i = 0; i < 8; ++i) lines += SELFTEST_VECTORS.substr(i * 323, 323);
        const fs::path vectors = config.path() / "vectors.txt";
        std::ofstream(vectors) << lines;
        args = {"--selftest", vectors.string(), "--blocks", "1024"};
        running = "GPU0 [compact] :";
    }
    Miner miner(args, {{"XDG_CONFIG_HOME", config.path().string()}}, false);
    ASSERT_TRUE(miner.wait_for_text(running, 60s)) << miner.out();
    ASSERT_TRUE(miner.signal(SIGINT));
    std::this_thread::sleep_for(500ms);
    const auto second = Clock::now();
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(30s);
    EXPECT_LT(Clock::now() - second, 2s);
    EXPECT_EQ(status, c.status) << miner.err();
    const std::string out = miner.out();
    EXPECT_TRUE(out.ends_with("stop requested twice during the start-up — exiting now\n" + c.last_line)) << out;
    EXPECT_EQ(out.find("[tune] GPU0 → "), std::string::npos) << "the tune was cut off";
    EXPECT_EQ(out.find("SELFTEST OK"), std::string::npos);
    EXPECT_FALSE(fs::exists(config.path() / "ovik_dtc" / "tune.json"));
    EXPECT_EQ(bridge.counters().getwork, 0u) << "no thread started";
}

INSTANTIATE_TEST_SUITE_P(
    Drills, SecondSignalDuringTheStartup,
    ::testing::Values(StartupStop{"Autotune", StartupPhase::autotune, 0, ""},
                      StartupStop{"Selftest", StartupPhase::selftest, 1,
                                  "selftest interrupted: 8 vectors checked (GPU/kernel runs passed: 1), not every "
                                  "one — exiting with status 1\n"}),
    [](const auto& test) { return std::string(test.param.name); });

// Standard output's reader goes away (a pipe into `head` that exited, a log
// collector that crashed): every console write fails, from the banner on,
// and the miner goes on mining. A SIGHUP (the terminal closed) then stops
// it in order: status 0, killed by neither signal.
TEST(Drills, ClosedStandardOutputIsNoStop) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_8192});
    Miner miner(mining_args(bridge.url()), {}, true, Output::closed_pipe);
    ASSERT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().accepted >= 3; }, 60s))
        << miner.err();
    const std::uint64_t accepted = bridge.counters().accepted;
    EXPECT_TRUE(miner.wait_for([&](const std::string&) { return bridge.counters().accepted >= accepted + 3; }, 60s))
        << "mining goes on";
    ASSERT_TRUE(miner.signal(SIGHUP));
    EXPECT_EQ(miner.wait_exit(30s), 0) << miner.err();
}

// ---- A GPU failure in one of two workers --------------------------------------------------

struct GpuFault {
    const char* name;
    const char* injected;  // VEZEZIRUZ_SIM_FAIL
    const char* error;     // in the worker's stop line
};

void PrintTo(const GpuFault& f, std::ostream* out) { *out << f.name; }

class GpuFailure : public ::testing::TestWithParam<GpuFault> {};

// A runtime call fails in the middle of mining: the worker that made it
// says why on standard error and stops the miner; the other worker and
// the submissions end in order; the summary follows and the status is 1.
TEST_P(GpuFailure, OneWorkerStopsTheMinerInOrder) {
    const GpuFault f = GetParam();
    BridgeProcess bridge({"--share-target", SHARE_1_IN_65536});
    Miner miner(mining_args(bridge.url()), {{"VEZEZIRUZ_SIM_FAIL", f.injected}});
    const std::optional<int> status = miner.wait_exit(90s);
    const BridgeCounters pool = counters_of(bridge);

    // A failure, after the same shutdown and summary: a service manager set
    // to restart on failure restarts it.
    const Summary s = expect_orderly_end(miner, status, pool, 1);
    const std::string err = miner.err();
    EXPECT_EQ(occurrences(err, "[GPU] worker thread stopped on error: "), 1u) << err;
    EXPECT_NE(err.find(f.error), std::string::npos) << err;
    EXPECT_GT(s.hashes, 0u) << "the failure came while mining";
    EXPECT_EQ(s.accepted, pool.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Drills, GpuFailure,
    ::testing::Values(GpuFault{"BatchWait", "cudaEventSynchronize@12:719",
                               "cudaEventSynchronize(c->ev_done[buf]): unspecified launch failure"},
                      GpuFault{"KernelLaunch", "launch@24:701", "too many resources requested for launch"}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- A submission burst beyond --submit-queue ------------------------------------------------

// One share in 1024 and a pool that takes 300 ms per submission, one at a
// time, with room for two candidates: the weakest are dropped (queue
// full), never a block. Every block reaches the pool, the last ones sent
// by the shutdown, and no submission is lost.
TEST(Drills, SubmissionBurstDropsSharesNeverBlocks) {
    BridgeProcess bridge({"--share-target", SHARE_1_IN_1024, "--block-target", BLOCK_1_IN_262144, "--fault",
                          "submit:delay:300@*"});
    Miner miner(mining_args(bridge.url(), {"--submit-queue", "2", "--submit-threads", "1"}));
    ASSERT_TRUE(miner.wait_for_text(BLOCK_FOUND, 90s, 2)) << miner.out();
    ASSERT_TRUE(miner.signal(SIGINT));
    const std::optional<int> status = miner.wait_exit(60s);
    const BridgeCounters pool = counters_of(bridge);

    const Summary s = expect_orderly_end(miner, status, pool);
    const std::string out = miner.out();
    EXPECT_NE(out.find("submission: ≤ 1 in flight, queue ≤ 2 candidates"), std::string::npos);
    EXPECT_GT(s.queue_full, 0u);
    EXPECT_GE(s.abandoned, s.queue_full);
    EXPECT_EQ(s.rejected, 0u);
    EXPECT_GE(s.blocks, 2u);
    EXPECT_EQ(s.blocks, pool.blocks) << pool;
    EXPECT_EQ(s.accepted, pool.accepted) << pool;
    EXPECT_EQ(pool.submit, pool.accepted + pool.stale + pool.duplicate) << pool;
}

// ---- A tuning cache truncated mid-file ----------------------------------------------------------

// The first run measures and writes the cache; cut in the middle, the file
// is read as empty: the next run measures again and writes a whole file,
// which the run after that uses without measuring.
TEST(Drills, TruncatedTuneCacheIsMeasuredAgainAndRewritten) {
    TempDir config;
    BridgeProcess bridge({"--share-target", SHARE_1_IN_65536});
    std::vector<std::string> args = mining_args(bridge.url(), {"--gpu-list", "0"});
    std::erase(args, "--no-autotune");
    const Env env = {{"XDG_CONFIG_HOME", config.path().string()}};
    const fs::path cache = config.path() / "ovik_dtc" / "tune.json";
    const auto run_until_mining = [&](const std::string& tune_line) {
        Miner miner(args, env, false);
        EXPECT_TRUE(miner.wait_for_text(tune_line, 60s)) << miner.out();
        EXPECT_TRUE(miner.wait_for_text("[stats] ", 120s)) << miner.out();
        miner.signal(SIGINT);
        const std::optional<int> status = miner.wait_exit(30s);
        EXPECT_EQ(status, 0) << miner.err();
        EXPECT_NE(miner.out().find("\nsummary: "), std::string::npos);
        EXPECT_EQ(miner.out().find("[tune] cache not saved"), std::string::npos) << miner.out();
        return miner.out();
    };
    const std::string measuring = "[tune] GPU0 Sim H100 (1 SM, cc 9.0): measuring kernels and batch geometry";
    const std::string cached = "[tune] GPU0 Sim H100 (1 SM, cc 9.0): cached — ";

    run_until_mining(measuring);
    const std::string whole = read_file(cache);
    ASSERT_FALSE(tune_cache_parse(whole).entries.empty()) << whole;
    std::ofstream(cache, std::ios::trunc | std::ios::binary) << whole.substr(0, whole.size() / 2);
    ASSERT_TRUE(tune_cache_parse(read_file(cache)).entries.empty());

    const std::string again = run_until_mining(measuring);
    EXPECT_EQ(again.find("cached"), std::string::npos);
    const std::string rewritten = read_file(cache);
    const TuneCache parsed = tune_cache_parse(rewritten);
    EXPECT_EQ(parsed.entries.size(), 1u) << rewritten;
    EXPECT_EQ(tune_cache_text(parsed), rewritten) << "a whole file in the fixed layout";

    const std::string reused = run_until_mining(cached);
    EXPECT_EQ(reused.find("measuring"), std::string::npos);
    EXPECT_EQ(read_file(cache), rewritten);
    EXPECT_EQ(counters_of(bridge).invalid, 0u);
}

}  // namespace
