// The miner from its command line: the built ovik_dtc_sim (stand-in GPUs)
// run end to end against the test pool bridge, the real ovik_dtc where nvcc
// built one, and the start-up rules that need no process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "src/base/hex.hpp"
#include "src/main/startup.hpp"
#include "src/selftest/vectors.hpp"
#include "tests/pool-bridge/bridge_process.hpp"
#include "tests/support/ed25519_sign.hpp"
#include "tests/support/std_regex.hpp"
#include "tests/support/subprocess.hpp"
#include "tests/support/temp_files.hpp"

namespace {

namespace fs = std::filesystem;

const std::string TWO_GPUS = "Sim H100,1,90,0000:01:00.0;Sim H100,1,90,0000:02:00.0";
const std::string SHARE_TARGET = "0000" + std::string(124, 'f');

std::string vector_line(const SelftestVector& v) {
    return hex_encode(v.header) + " " + hex_encode(v.nonce) + " " + hex_encode(v.hash);
}

const std::vector<SelftestVector>& embedded() {
    static const auto parsed = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    return parsed;
}

std::string write_file(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
    return path.string();
}

// ovik_dtc_sim with `args`, on two stand-in GPUs, colours off; given
// `stop_after`, stopped by SIGINT once its output holds that text (or after
// two minutes at the latest).
ProcessResult miner(std::vector<std::string> args, std::vector<std::pair<std::string, std::optional<std::string>>> env = {},
                    std::optional<std::string> stop_after = std::nullopt) {
    std::vector<std::string> argv = {OVIK_DTC_SIM_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    if (stop_after) {
        options.signal_when = stop_after;
        options.signal_deadline = std::chrono::minutes(2);
    }
    options.env = {{"VEZEZIRUZ_SIM_DEVICES", TWO_GPUS}, {"NO_COLOR", "1"}, {"VEZEZIRUZ_INTERNAL", std::nullopt}};
    options.env.insert(options.env.end(), env.begin(), env.end());
    return run_process(argv, options);
}

TEST(StartupRefusals, CommandLineAndDeviceChecksEndWithTheirMessage) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::optional<std::string>>> env;
        std::string error;
    };
    const Case cases[] = {
        {{"--threads", "1025"}, {}, "--blocks/--threads (≤1024)/--iters must be > 0"},
        {{"--iters", "0", "--selftest", "x"}, {}, "--blocks/--threads (≤1024)/--iters must be > 0"},
        {{"--blocks", "4294967295"}, {}, "--blocks/--threads: 4294967295 blocks: above the grid limit of 2147483647"},
        {{"--blocks", "4194305", "--threads", "1024", "--selftest", "x"}, {},
         "--blocks/--threads: 4194305 blocks × 1024 threads: 4294968320 threads a launch, above 2^32 (the thread "
         "index is 32 bits)"},
        // Without --threads, once the variant's threads are known.
        {{"--address", "qz1", "--dev-address", "qzDev", "--blocks", "16777217"}, {},
         "--blocks/--threads with energy: 16777217 blocks × 256 threads: 4294967552 threads a launch, above 2^32 "
         "(the thread index is 32 bits)"},
        {{"--kernel", "AUTO"}, {}, "--kernel AUTO: expected auto, energy, compact, hb89, fast89, fast120 or fast86"},
        {{"--gpu-list", "3"}, {}, "GPU 3 inexistant (2 GPU CUDA)"},
        {{"--gpu-list", "0,-1"}, {}, "GPU -1 inexistant (2 GPU CUDA)"},
        // Two slots on one GPU would hash with each other's job.
        {{"--gpu-list", "1,0", "--gpu-devices", "1"}, {}, "GPU 1 listed twice in --gpu-list (one slot per GPU)"},
        {{"--gpu-list", "0,0,5"}, {}, "GPU 0 listed twice in --gpu-list (one slot per GPU)"},
        {{"--kernel", "hb89"}, {}, "this kernel requires an SM89 / RTX 40 GPU"},
        {{"--kernel", "fast120"}, {}, "fast120 requires an SM120 GPU"},
        {{"--kernel", "fast86"}, {}, "fast86 requires SM86 (SM89 allowed for compatibility tests)"},
        {{}, {{"VEZEZIRUZ_SIM_DEVICES", ""}}, "cudaGetDeviceCount: no CUDA-capable device is detected"},
        {{"--dev-address", "qzDev"}, {}, "--address required (Quantus SS58 address)"},
        {{"--address", "qz1", "--no-dev-fee"}, {},
         "--no-dev-fee is reserved for internal rigs (VEZEZIRUZ_INTERNAL=1): the 1% (mining time) dev fee cannot be "
         "disabled otherwise"},
        {{"--address", "qz1", "--no-dev-fee"}, {{"VEZEZIRUZ_INTERNAL", "true"}},
         "--no-dev-fee is reserved for internal rigs (VEZEZIRUZ_INTERNAL=1): the 1% (mining time) dev fee cannot be "
         "disabled otherwise"},
        {{"--address", "qz1"}, {},
         "dev address not configured (DEV_ADDRESS = « REPLACE_WITH_DEV_ADDRESS »): rebuild with the final Quantus "
         "address in src/devfee, or pass it with --dev-address <SS58>"},
        {{"--address", "qz1", "--dev-address", "qzDev", "--dev-fee-period-s", "150"}, {},
         "--dev-fee-period-s 150: the period must be a multiple of 100 s (dev window = period × 1/100 = 1% exactly)"},
        // Periods whose nanoseconds overflow: once every turn went to the dev
        // fee, and once the accounting spun for ever and nothing was mined.
        {{"--address", "qz1", "--dev-address", "qzDev", "--dev-fee-period-s", "9223372100"}, {},
         "--dev-fee-period-s 9223372100: the period must be at most 9223372000 s, the longest the dev-fee clock "
         "counts (dev window = period × 1/100 = 1% exactly)"},
        {{"--address", "qz1", "--dev-address", "qzDev", "--dev-fee-period-s", "10000000000"}, {},
         "--dev-fee-period-s 10000000000: the period must be at most 9223372000 s, the longest the dev-fee clock "
         "counts (dev window = period × 1/100 = 1% exactly)"},
        {{"--address", "qz1", "--dev-address", "qzDev", "--dev-fee-period-s", "18446744073709551600"}, {},
         "--dev-fee-period-s 18446744073709551600: the period must be at most 9223372000 s, the longest the dev-fee "
         "clock counts (dev window = period × 1/100 = 1% exactly)"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = miner(c.args, c.env);
        EXPECT_EQ(r.status, 1) << c.error;
        EXPECT_EQ(r.err, "error: " + c.error + "\n");
        // Nothing is described before the device list is checked.
        if (c.error.starts_with("GPU ")) {
            EXPECT_EQ(r.out, "");
        }
    }
    // The GPU description lines come before the capability refusal.
    EXPECT_EQ(miner({"--kernel", "hb89"}).out, "GPU0 : Sim H100 (1 SM, cc 9.0)\n");
}

TEST(StartupSelftest, SelftestModeOnTwoGpus) {
    TempDir dir;
    const auto& all = embedded();
    const std::string good = write_file(dir.path() / "good.txt", vector_line(all[3466]) + "\n" + vector_line(all[754]) + "\n");
    SelftestVector wrong = all[5];
    wrong.hash[10] ^= 1;
    const std::string bad = write_file(dir.path() / "bad.txt", vector_line(wrong) + "\n");

    const ProcessResult ok = miner({"--selftest", good, "--blocks", "4"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_TRUE(ok.out.ends_with("SELFTEST OK on 2 GPUs\n")) << ok.out;
    for (const char* header : {"GPU0 [energy] :\n", "GPU0 [compact] :\n", "GPU1 [energy] :\n", "GPU1 [compact] :\n"})
        EXPECT_NE(ok.out.find(header), std::string::npos) << header;

    const ProcessResult failed = miner({"--selftest", bad, "--blocks", "4"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "error: GPU0 [energy] : selftest ÉCHOUÉ: selftest 1: 1 vector(s) wrong host-side\n");
    EXPECT_NE(failed.out.find("  [1] host poseidon2-core 3.1.0       : 0/1 OK  <<< FAILED\n"), std::string::npos);
}

// Mining runs: the auto-tune measured and cached, the cache reused, left
// unwritten without the auto choice or with a geometry option, and a
// configuration directory that cannot be created.
TEST(StartupMining, AutoTuneCacheAcrossRuns) {
    TempDir config;
    BridgeProcess bridge({"--share-target", SHARE_TARGET});
    const std::vector<std::string> base = {"--pool", bridge.url(), "--address", "qzMiner", "--worker", "rig",
                                           "--dev-address", "qzDev", "--gpu-list", "0", "--stats-every", "1"};
    auto args = [&](std::vector<std::string> extra) {
        std::vector<std::string> all = base;
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    };
    const std::pair<std::string, std::optional<std::string>> xdg{"XDG_CONFIG_HOME", config.path().string()};
    const fs::path cache = config.path() / "ovik_dtc" / "tune.json";

    const std::string stats = "\n[stats] ";
    const ProcessResult measured = miner(args({}), {xdg}, stats);
    EXPECT_EQ(measured.status, 0) << measured.err;
    EXPECT_NE(measured.out.find("[tune] GPU0 Sim H100 (1 SM, cc 9.0): measuring kernels and batch geometry (about 15 s)…"),
              std::string::npos);
    EXPECT_TRUE(std::regex_search(measured.out, std::regex(R"(\[tune\] GPU0 → (energy|compact) \d+×256×\d = \d+\.\d MH/s)")));
    EXPECT_TRUE(std::regex_search(measured.out, std::regex(R"(\n\[stats\] )"))) << measured.out;
    EXPECT_TRUE(std::regex_search(measured.out, std::regex(R"(\nsummary: \d+ hashes)")));
    ASSERT_TRUE(fs::exists(cache));
    const auto written = fs::last_write_time(cache);

    const ProcessResult reused = miner(args({}), {xdg}, stats);
    EXPECT_EQ(reused.status, 0) << reused.err;
    EXPECT_NE(reused.out.find("[tune] GPU0 Sim H100 (1 SM, cc 9.0): cached — "), std::string::npos) << reused.out;
    EXPECT_EQ(reused.out.find("measuring"), std::string::npos);
    EXPECT_EQ(fs::last_write_time(cache), written);

    fs::remove(cache);
    for (const auto& extra : std::vector<std::vector<std::string>>{{"--no-autotune"}, {"--blocks", "64", "--kernel", "energy"}}) {
        const ProcessResult r = miner(args(extra), {xdg}, stats);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_FALSE(fs::exists(cache)) << extra[0];
    }

    // The configuration directory would sit under a regular file.
    const std::string blocker = write_file(config.path() / "not-a-dir", "x");
    const ProcessResult unsaved = miner(args({}), {{"XDG_CONFIG_HOME", blocker}}, stats);
    EXPECT_EQ(unsaved.status, 0) << unsaved.err;
    EXPECT_NE(unsaved.out.find("[tune] cache not saved: mkdir " + blocker + "/ovik_dtc\n"), std::string::npos)
        << unsaved.out;
    EXPECT_TRUE(std::regex_search(unsaved.out, std::regex(R"(\nsummary: \d+ hashes)")));
    EXPECT_EQ(bridge.counters().invalid, 0u);
}

TEST(StartupMining, NoDevFeeOnAnInternalRig) {
    BridgeProcess bridge({"--share-target", SHARE_TARGET});
    const ProcessResult r = miner({"--pool", bridge.url(), "--address", "", "--worker", " spaced ", "--no-dev-fee",
                                   "--dev-fee-period-s", "0", "--no-autotune", "--gpu-list", "1"},
                                  {{"VEZEZIRUZ_INTERNAL", "1"}}, "\nsubmission: ");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("dev fee: DISABLED (VEZEZIRUZ_INTERNAL=1 + --no-dev-fee, internal rig)"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("[tune]"), std::string::npos);
    EXPECT_NE(r.out.find("shutdown requested — finishing current batches…"), std::string::npos);
    EXPECT_EQ(bridge.counters().invalid, 0u);
}

TEST(StartupRules, WorkerNameFromTheOptionTheHostnameFileOrGpu) {
    TempDir dir;
    const std::string named = write_file(dir.path() / "hostname", "  rig-07\n");
    const std::string blank = write_file(dir.path() / "blank", " \n\t");
    EXPECT_EQ(worker_name(std::string(" as given "), named), " as given ");
    EXPECT_EQ(worker_name(std::nullopt, named), "rig-07");
    EXPECT_EQ(worker_name(std::nullopt, blank), "gpu");
    EXPECT_EQ(worker_name(std::nullopt, (dir.path() / "missing").string()), "gpu");
}

TEST(StartupRules, DevFeeAddress) {
    struct Case {
        std::optional<std::string> dev_address;
        bool no_dev_fee, internal;
        std::string compiled_in;
        std::optional<std::string> want;  // nullopt: the dev fee is off
        bool refused;
    };
    const Case cases[] = {
        {std::string(" qzDev "), false, false, "qzBuilt", std::string("qzDev"), false},
        {std::string("   "), false, false, "qzBuilt", std::string("qzBuilt"), false},
        {std::nullopt, false, false, " qzBuilt ", std::string("qzBuilt"), false},
        {std::string(" REPLACE_WITH_DEV_ADDRESS "), false, false, "qzBuilt", std::nullopt, true},
        {std::nullopt, false, false, "REPLACE_WITH_DEV_ADDRESS", std::nullopt, true},
        {std::nullopt, true, true, "REPLACE_WITH_DEV_ADDRESS", std::nullopt, false},
        {std::string("qzDev"), true, false, "qzBuilt", std::nullopt, true},
    };
    for (const Case& c : cases) {
        Cli cli;
        cli.dev_address = c.dev_address;
        cli.no_dev_fee = c.no_dev_fee;
        const Result<std::optional<std::string>> r = dev_fee_address(cli, c.internal, c.compiled_in);
        EXPECT_EQ(!r, c.refused) << c.dev_address.value_or("-");
        if (r) {
            EXPECT_EQ(*r, c.want);
        }
    }
}

// A build without a pool key (the placeholder, which a plain configure
// gives ovik_dtc) cannot verify any signed job: --require-signed-jobs would
// mine nothing, so it refuses to start, naming the build option.
TEST(StartupRules, SignedJobsNeedAPoolKey) {
    const std::string test_key(TEST_POOL_PUBLIC_KEY_HEX);
    struct Case {
        bool require_signed_jobs;
        std::string compiled_in;
        bool refused;
    };
    const Case cases[] = {
        {true, "REPLACE_WITH_POOL_PUBLIC_KEY", true},
        {false, "REPLACE_WITH_POOL_PUBLIC_KEY", false},
        {true, test_key, false},
        {false, test_key, false},
    };
    for (const Case& c : cases) {
        Cli cli;
        cli.require_signed_jobs = c.require_signed_jobs;
        const Result<void> r = check_signed_jobs_key(cli, c.compiled_in);
        EXPECT_EQ(!r, c.refused) << c.require_signed_jobs << " " << c.compiled_in;
        if (!r) {
            EXPECT_EQ(r.error().chain(),
                      "pool key not configured (POOL_PUBLIC_KEY = « REPLACE_WITH_POOL_PUBLIC_KEY »): "
                      "--require-signed-jobs needs the pool operator's Ed25519 public key: rebuild with "
                      "-DOVIK_POOL_PUBLIC_KEY=<64 hex digits>");
        }
    }
}

#if defined(OVIK_DTC_BINARY)
// The real binary on a machine without an NVIDIA GPU.
TEST(RealBinary, SelftestWithoutAGpuFailsCleanly) {
    if (fs::exists("/dev/nvidia0")) GTEST_SKIP() << "this machine has a GPU";
    TempDir dir;
    const std::string file = write_file(dir.path() / "v.txt", vector_line(embedded()[0]) + "\n");
    const ProcessResult r = run_process({OVIK_DTC_BINARY, "--selftest", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: cudaGetDeviceCount: CUDA driver version is insufficient for CUDA runtime version\n");
}

// A machine with the driver alone can start it: the CUDA runtime is linked
// in, and the driver is what the runtime loads.
TEST(RealBinary, NeedsNoCudaLibraryBesideTheDriver) {
    const ProcessResult r = run_process({"/usr/bin/ldd", OVIK_DTC_BINARY});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("libcuda"), std::string::npos) << r.out;
}

// The test pool bridge's key signs with a published seed: the real binary
// never carries it, whatever key its build was given.
TEST(RealBinary, TrustsNoPublishedPoolKey) {
    std::ifstream in(OVIK_DTC_BINARY, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.find(TEST_POOL_PUBLIC_KEY_HEX), std::string::npos);
}
#endif

}  // namespace
