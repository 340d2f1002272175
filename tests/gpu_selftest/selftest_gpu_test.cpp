// The GPU self-test on stand-in devices: every module passing on the
// embedded vectors with its default geometry, each check catching a result
// corrupted on its way from the GPU, the vector picking and the batch limit,
// and the three uses at start-up.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "src/base/hex.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu_selftest/selftest_gpu.hpp"
#include "src/gpu_selftest/startup_selftests.hpp"
#include "tests/gpu/stand_in_devices.hpp"
#include "tests/support/std_regex.hpp"

namespace {

using K = KernelKind;

const std::vector<SelftestVector>& embedded() {
    static const auto parsed = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    return parsed;
}

// The lines a run printed, standard output and standard error apart.
struct Captured {
    std::vector<std::string> out, err;
    SelftestOutput output{[this](std::string_view l) { out.emplace_back(l); },
                          [this](std::string_view l) { err.emplace_back(l); }};
};

// A vector line as the file format has it.
std::string vector_line(const SelftestVector& v) {
    return hex_encode(v.header) + " " + hex_encode(v.nonce) + " " + hex_encode(v.hash);
}

class SelftestGpu : public StandInDevices {
protected:
    SelftestGpu() : StandInDevices(SMALL_DEVICES) {}

    std::string write_vector_file(const std::vector<std::string>& lines) {
        const auto path = std::filesystem::temp_directory_path() /
                          ("selftest-" + std::to_string(::getpid()) + "-" + std::to_string(files_++) + ".txt");
        std::ofstream file(path);
        for (const std::string& line : lines) file << line << "\n";
        paths_.push_back(path);
        return path.string();
    }

    void TearDown() override {
        for (const auto& p : paths_) std::filesystem::remove(p);
        StandInDevices::TearDown();
    }

private:
    int files_ = 0;
    std::vector<std::filesystem::path> paths_;
};

TEST_F(SelftestGpu, EveryModulePassesOnTheEmbeddedVectorsWithItsDefaultGeometry) {
    struct Case {
        K kind;
        int device;
    };
    const Case cases[] = {{K::energy, DEVICE_90},  {K::compact, DEVICE_90}, {K::hb89, DEVICE_89},
                          {K::fast89, DEVICE_89}, {K::fast120, DEVICE_120}, {K::fast86, DEVICE_86}};
    for (const Case& c : cases) {
        SCOPED_TRACE(kernel_name(c.kind));
        const LaunchGeometry g = default_geometry({}, c.device, c.kind).value();
        Captured run;
        const Result<void> passed = selftest_gpu(c.device, embedded(), g, c.kind, run.output);
        ASSERT_TRUE(passed) << passed.error().message();
        ASSERT_EQ(run.out.size(), 5u);
        EXPECT_EQ(run.out[0], "  [1] host poseidon2-core 3.1.0       : 4096/4096 OK");
        EXPECT_EQ(run.out[1], "  [2] GPU full hash (5 permutations)   : 4096/4096 OK");
        EXPECT_EQ(run.out[2], "  [3] GPU mining path (midstate+P3+P4): 4096/4096 OK");
        const std::regex line4(
            "  \\[4\\] real mining GPU kernel            : 20 checks OK \\(vectors \\[3466, \\d+, \\d+, \\d+, \\d+\\], "
            "grids 4×32×2 and " + std::to_string(g.blocks) + "×" + std::to_string(g.threads) + "×" +
            std::to_string(g.iters) + ", candidates/batch \\[\\d+, \\d+, \\d+, \\d+, \\d+\\], all host-rehashed < target\\)");
        EXPECT_TRUE(std::regex_match(run.out[3], line4)) << run.out[3];
        EXPECT_TRUE(std::regex_match(run.out[4], std::regex("  selftest OK in \\d+\\.\\d\\d s"))) << run.out[4];
    }
}

// Each GPU check catches one byte gone wrong in what the GPU hands back; the
// lines up to the failing check are printed, nothing after it.
TEST_F(SelftestGpu, EachGpuCheckCatchesACorruptedResult) {
    const LaunchGeometry g = default_geometry({}, DEVICE_90, K::compact).value();
    const std::size_t n = embedded().size();
    const std::size_t candidate_list = 8 * std::max<std::size_t>(std::size_t{g.blocks} * g.threads * g.iters, 256);
    struct Case {
        const char* what;
        std::size_t copy_size;
        std::size_t byte;
        std::vector<std::string> lines;  // the last ones printed, a prefix of each
        std::string error;               // a prefix of the error message
    };
    const std::string exp17 = hex_encode(embedded()[17].hash);
    std::string got17 = exp17;
    got17[2 * 5 + 1] = "0123456789abcdef"[std::stoi(exp17.substr(11, 1), nullptr, 16) ^ 1];
    const Case cases[] = {
        {"full hash", 64 * n, 64 * 17 + 5,
         {"  [2] GPU full hash (5 permutations)   : 4095/4096 OK  <<< FAILED", "      first mismatch vector 17",
          "      got " + got17, "      exp " + exp17},
         "selftest 2 : 1 hash(s) GPU faux"},
        {"mining path", 32 * n, 32 * 3000 + 31, {"  [3] GPU mining path (midstate+P3+P4): 4095/4096 OK  <<< FAILED"},
         "selftest 3 : 1 h1 faux"},
        {"real kernel", candidate_list, 0, {"  [3] GPU mining path (midstate+P3+P4): 4096/4096 OK"},
         "vector 3466 (petite grille, cible=hash+1): "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::corrupt_copy_to_host(c.copy_size, 1, c.byte);
        Captured run;
        const Result<void> passed = selftest_gpu(DEVICE_90, embedded(), g, K::compact, run.output);
        sim::clear_faults();
        ASSERT_FALSE(passed);
        EXPECT_EQ(passed.error().message().substr(0, c.error.size()), c.error) << passed.error().message();
        ASSERT_GE(run.out.size(), c.lines.size());
        const std::vector<std::string> last(run.out.end() - static_cast<std::ptrdiff_t>(c.lines.size()), run.out.end());
        EXPECT_EQ(last, c.lines);
    }
}

TEST_F(SelftestGpu, PicksTheSmallestHashesInHashOrderAndSkipsWhatCannotBeChecked) {
    const auto& all = embedded();
    const LaunchGeometry g{2, 64, 2};
    struct Case {
        const char* what;
        std::vector<SelftestVector> vectors;
        std::string summary;  // what line [4] says between its fixed parts
    };
    const Case cases[] = {
        // Lines 755, 11 and 3467 of the table: 3467 holds the smallest hash, 755 the third.
        {"three vectors", {all[754], all[10], all[3466]}, "12 checks OK (vectors [2, 0, 1]"},
        // Counter 0 is below the production offset of 13: no production grid.
        {"counter 0", {all[0], all[3466]}, "7 checks OK (vectors [1, 0]"},
        {"equal hashes", {all[3466], all[3466]}, "8 checks OK (vectors [0, 1]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Captured run;
        const Result<void> passed = selftest_gpu(DEVICE_90, c.vectors, g, K::energy, run.output);
        ASSERT_TRUE(passed) << passed.error().message();
        ASSERT_EQ(run.out.size(), 5u);
        EXPECT_NE(run.out[3].find(c.summary), std::string::npos) << run.out[3];
    }
    // With two production entries, then one.
    Captured run;
    ASSERT_TRUE(selftest_gpu(DEVICE_90, cases[1].vectors, g, K::energy, run.output));
    EXPECT_TRUE(std::regex_search(run.out[3], std::regex("grids 4×32×2 and 2×64×2, candidates/batch \\[\\d+\\],")))
        << run.out[3];
}

TEST_F(SelftestGpu, PreparationRefusesBeforeAnyGpuWork) {
    const std::size_t streams = sim::live_objects().streams;
    Captured run;
    const Result<void> empty = selftest_gpu(DEVICE_90, {}, {1, 32, 1}, K::energy, run.output);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().message(), "no vector");
    // 2^24 + 1 = 97 × 257 × 673.
    const std::vector<SelftestVector> one{embedded()[0]};
    const Result<void> too_big = selftest_gpu(DEVICE_90, one, {97, 257, 673}, K::energy, run.output);
    ASSERT_FALSE(too_big);
    EXPECT_EQ(too_big.error().message(),
              "selftest : lot de 16777217 nonces trop grand (> 16 M) pour le buffer de candidats");
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(sim::live_objects().streams, streams);

    // Exactly 2^24 is accepted; counter 0 keeps the run to the small grids.
    const Result<void> limit = selftest_gpu(DEVICE_90, one, {65536, 256, 1}, K::energy, run.output);
    EXPECT_TRUE(limit) << limit.error().message();
}

TEST(CheckVectorCandidates, NamesTheVectorTheCheckAndTheCandidate) {
    const SelftestVector& v = embedded()[3466];
    Bytes32 h, l;
    std::copy_n(v.nonce.begin(), 32, h.begin());
    std::copy_n(v.nonce.begin() + 32, 32, l.begin());
    std::uint64_t c = 0;
    for (int i = 56; i < 64; ++i) c = c << 8 | v.nonce[i];
    Bytes64 plus_one = v.hash;
    for (int i = 63; i >= 0 && ++plus_one[i] == 0; --i) {
    }
    Bytes64 easiest;
    easiest.fill(0xff);
    struct Case {
        std::uint64_t counter;
        std::vector<std::uint64_t> candidates;
        Bytes64 target;
        std::string error;  // empty: passes
    };
    const Case cases[] = {
        {c, {c}, plus_one, ""},
        {c, {0x1f, 0xabc}, plus_one, fmt::format("vector 7 (label): counter {:#x} NOT reported (candidates: [1f, abc])", c)},
        {c, {c, 0x1f}, plus_one, "vector 7 (label): candidate 0x1f reported but host hash ≥ target"},
        {c + 1, {c + 1}, easiest,
         "vector 7 (label) : rebuilt nonce != vector\n  got " + hex_encode(h) + hex_encode(std::span(l).first(24)) +
             fmt::format("{:016x}", c + 1) + "\n  exp " + hex_encode(v.nonce)},
    };
    for (const Case& k : cases) {
        const Result<void> r = check_vector_candidates(v, h, l, k.counter, k.candidates, k.target, "label", 7);
        if (k.error.empty()) {
            EXPECT_TRUE(r) << r.error().message();
        } else {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().message(), k.error);
        }
    }
}

TEST_F(SelftestGpu, SelftestModeTestsEveryKernelOfEveryListedGpu) {
    const auto& all = embedded();
    const std::string file = write_vector_file({vector_line(all[3466]), vector_line(all[1703]), vector_line(all[754])});
    const GeometryOverrides small{4, std::nullopt, std::nullopt};

    Captured auto_run;
    const int gpus[] = {DEVICE_89, DEVICE_90};
    ASSERT_TRUE(run_selftest_mode(file, gpus, K::none, small, auto_run.output));
    std::vector<std::string> headers;
    for (const std::string& line : auto_run.out)
        if (line.starts_with("GPU") || line.starts_with("selftest:") || line.starts_with("SELFTEST")) headers.push_back(line);
    EXPECT_EQ(headers, (std::vector<std::string>{
                           "selftest: 3 vectors (" + file + ") — kernel V17 + HB89 + Fast86/Fast89/Fast120 (auto-selected per GPU)",
                           "GPU1 [energy] :", "GPU1 [compact] :", "GPU1 [hb89] :", "GPU1 [fast89] :",
                           "GPU2 [energy] :", "GPU2 [compact] :", "SELFTEST OK on 2 GPUs"}));

    Captured named;
    const int one[] = {DEVICE_89};
    ASSERT_TRUE(run_selftest_mode(file, one, K::fast89, small, named.output));
    EXPECT_EQ(std::count_if(named.out.begin(), named.out.end(), [](const std::string& l) { return l.starts_with("GPU"); }), 1);

    // A well-formed line whose stored hash is wrong fails on the host check.
    SelftestVector wrong = all[5];
    wrong.hash[0] ^= 0x80;
    const std::string bad = write_vector_file({vector_line(all[3466]), vector_line(wrong)});
    Captured failed;
    const Result<void> r = run_selftest_mode(bad, one, K::none, small, failed.output);
    ASSERT_FALSE(r);
    EXPECT_EQ(fmt::format("{:#}", r.error()), "GPU1 [energy] : selftest ÉCHOUÉ: selftest 1: 1 vector(s) wrong host-side");

    const Result<void> missing = run_selftest_mode("/nonexistent/vectors.txt", one, K::none, small, failed.output);
    ASSERT_FALSE(missing);
    EXPECT_EQ(fmt::format("{:#}", missing.error()), "/nonexistent/vectors.txt: No such file or directory (os error 2)");
}

TEST_F(SelftestGpu, VectorReplayTestsEveryCandidateKernel) {
    const std::vector<SelftestVector> vectors{embedded()[3466], embedded()[1703]};
    Captured run;
    ASSERT_TRUE(replay_vectors(DEVICE_120, vectors, {4, std::nullopt, std::nullopt}, run.output));
    std::vector<std::string> headers;
    for (const std::string& line : run.out)
        if (line.starts_with("GPU")) headers.push_back(line);
    EXPECT_EQ(headers, (std::vector<std::string>{"GPU3: selftest 2 vectors [energy]", "GPU3: selftest 2 vectors [compact]",
                                                 "GPU3: selftest 2 vectors [fast120]"}));

    sim::corrupt_copy_to_host(64 * 2, 2, 0);  // compact's full hash
    Captured failed;
    const Result<void> r = replay_vectors(DEVICE_120, vectors, {4, std::nullopt, std::nullopt}, failed.output);
    ASSERT_FALSE(r);
    EXPECT_EQ(fmt::format("{:#}", r.error()),
              "GPU3 [compact]: selftest FAILED — refusing to start: selftest 2 : 1 hash(s) GPU faux");
}

// The disabled list lives for the process: the only test that fills it.
TEST_F(SelftestGpu, Fast86ValidationUnderAutoOnlyTakesFast86Away) {
    const int gpus[] = {DEVICE_86, DEVICE_89, DEVICE_90};
    Captured named;
    // Named, fast86 is validated on 8.9 too; a failure ends start-up.
    sim::corrupt_copy_to_host(64 * 4096, 2, 0);
    const Result<void> fixed = validate_fast86(gpus, K::fast86, {}, named.output);
    sim::clear_faults();
    ASSERT_FALSE(fixed);
    EXPECT_EQ(fmt::format("{:#}", fixed.error()), "fast86 validation failed: selftest 2 : 1 hash(s) GPU faux");
    EXPECT_EQ(std::count(named.out.begin(), named.out.end(), "GPU1: validating fast86 before mining"), 1);

    // Under auto only the 8.6 GPU is validated; its failure is a warning.
    Captured automatic;
    sim::corrupt_copy_to_host(64 * 4096, 1, 0);
    const Result<void> r = validate_fast86(gpus, K::none, {}, automatic.output);
    sim::clear_faults();
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(std::count(automatic.out.begin(), automatic.out.end(), "GPU0: validating fast86 before mining"), 1);
    EXPECT_EQ(std::count(automatic.out.begin(), automatic.out.end(), "GPU1: validating fast86 before mining"), 0);
    EXPECT_EQ(automatic.err, (std::vector<std::string>{"GPU0: fast86 disabled after failed validation: selftest 2 : 1 "
                                                       "hash(s) GPU faux"}));
    EXPECT_EQ(kernel_candidates(DEVICE_86).value(), (std::vector<K>{K::energy, K::compact}));
}

}  // namespace
