// A kernel module through its flat qtc_ interface, on the CPU stand-in or a
// GPU: the GPU hash against the host hash and the embedded vectors. Built
// once per module of the module list (tests/CMakeLists.txt): LAYER_HEADER
// and LAYER_NS name the module's host copy and its namespace, LAYER_CTX its
// context record, LAYER_MAX_THREADS its mining bound and LAYER_CC120_THREADS
// that bound on compute capability 12.0.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include LAYER_HEADER
#include "poseidon2-core/src/hash.hpp"
#include "src/pow/target.hpp"
#include "src/selftest/vectors.hpp"

using namespace LAYER_NS;

namespace {

const std::vector<SelftestVector>& vectors() {
    static const auto parsed = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    return parsed;
}

struct Context {
    explicit Context(std::uint32_t cap = 256) : c(qtc_ctx_create(0, cap, err, sizeof err)) {}
    ~Context() { qtc_ctx_destroy(c); }
    LAYER_CTX* c;
    char err[256] = "";
};

std::uint64_t counter_of(const Bytes64& nonce) {
    std::uint64_t v = 0;
    for (int i = 56; i < 64; ++i) v = v << 8 | nonce[i];
    return v;
}

struct Batch {
    std::uint32_t count;
    std::uint64_t launched;
    std::vector<std::uint64_t> cands;
};

Batch mine(LAYER_CTX* c, std::uint64_t start, std::uint32_t blocks, std::uint32_t threads, std::uint32_t iters) {
    EXPECT_EQ(qtc_mine_launch(c, start, blocks, threads, iters, 0), 0) << qtc_ctx_error(c);
    std::vector<std::uint64_t> cands(c->cap);
    Batch batch{};
    EXPECT_EQ(qtc_mine_collect(c, 0, cands.data(), &batch.count, &batch.launched), 0) << qtc_ctx_error(c);
    cands.resize(std::min(batch.count, c->cap));
    batch.cands = cands;
    return batch;
}

// The job of a vector: its header, nonce high half and low-half base.
int set_vector_job(LAYER_CTX* c, const SelftestVector& v, const Bytes64& target) {
    return qtc_set_job(c, v.header.data(), v.nonce.data(), v.nonce.data() + 32, target.data());
}

Bytes64 plus_one(Bytes64 value) {
    for (int i = 63; i >= 0 && ++value[i] == 0; --i) {
    }
    return value;
}

}  // namespace

TEST(ModuleLayer, FullHashOfEveryEmbeddedVector) {
    Context ctx;
    ASSERT_NE(ctx.c, nullptr) << ctx.err;
    const auto& all = vectors();
    std::vector<std::uint8_t> in(all.size() * 96), out(all.size() * 64);
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::memcpy(&in[i * 96], all[i].header.data(), 32);
        std::memcpy(&in[i * 96 + 32], all[i].nonce.data(), 64);
    }
    ASSERT_EQ(qtc_hash_full(ctx.c, in.data(), out.data(), static_cast<std::uint32_t>(all.size())), 0)
        << qtc_ctx_error(ctx.c);
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(std::memcmp(&out[i * 64], all[i].hash.data(), 64), 0) << "vector " << i;

    // 129 inputs need a second block of 128 threads.
    std::vector<std::uint8_t> small(129 * 64, 0);
    ASSERT_EQ(qtc_hash_full(ctx.c, in.data(), small.data(), 129), 0);
    EXPECT_EQ(std::memcmp(&small[128 * 64], all[128].hash.data(), 64), 0);
}

TEST(ModuleLayer, MiningPathCheckGivesTheFirstHalfOfTheHash) {
    Context ctx;
    const auto& all = vectors();
    ASSERT_EQ(set_vector_job(ctx.c, all[0], Bytes64{}), 0) << qtc_ctx_error(ctx.c);
    const std::uint32_t n = 300;
    std::vector<std::uint8_t> nlo(n * 32), h1(n * 32);
    for (std::uint32_t i = 0; i < n; ++i) std::memcpy(&nlo[i * 32], all[i].nonce.data() + 32, 32);
    ASSERT_EQ(qtc_mine_check(ctx.c, nlo.data(), h1.data(), n), 0) << qtc_ctx_error(ctx.c);
    for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(std::memcmp(&h1[i * 32], all[i].hash.data(), 32), 0) << i;
}

TEST(ModuleLayer, MiningBatchesReportEveryCounterBelowTheTarget) {
    const auto& all = vectors();
    Bytes64 easiest;
    easiest.fill(0xff);
    {
        Context ctx(5);
        ASSERT_EQ(set_vector_job(ctx.c, all[0], easiest), 0);
        const Batch batch = mine(ctx.c, 1000, 2, 4, 3);
        EXPECT_EQ(batch.count, 24u);
        EXPECT_EQ(batch.launched, 24u);
        ASSERT_EQ(batch.cands.size(), 5u);
        for (std::uint64_t v : batch.cands) EXPECT_TRUE(v >= 1000 && v < 1024) << v;
    }
    Context ctx;
    ASSERT_EQ(set_vector_job(ctx.c, all[0], easiest), 0);
    const Batch all_found = mine(ctx.c, 1000, 2, 4, 3);
    EXPECT_EQ(std::set<std::uint64_t>(all_found.cands.begin(), all_found.cands.end()).size(), 24u);
    EXPECT_EQ(mine(ctx.c, 0, 2, 4, 0).launched, 0u);  // iters 0

    // Counters wrap past 2^64 - 1.
    const Batch wrapped = mine(ctx.c, ~0ull - 1, 1, 1, 4);
    EXPECT_EQ(std::set<std::uint64_t>(wrapped.cands.begin(), wrapped.cands.end()),
              (std::set<std::uint64_t>{~0ull - 1, ~0ull, 0, 1}));

    // The smallest vector: found below hash + 1, not below the hash itself.
    const SelftestVector& v = all[3466];
    const std::uint64_t c = counter_of(v.nonce);
    ASSERT_EQ(set_vector_job(ctx.c, v, plus_one(v.hash)), 0);
    const Batch found = mine(ctx.c, c, 4, 32, 2);
    EXPECT_NE(std::find(found.cands.begin(), found.cands.end(), c), found.cands.end());
    ASSERT_EQ(set_vector_job(ctx.c, v, v.hash), 0);
    const Batch strict = mine(ctx.c, c, 4, 32, 2);
    EXPECT_EQ(std::find(strict.cands.begin(), strict.cands.end(), c), strict.cands.end());

    // A target equal to the hash in its first 32 bytes: decided by the second half.
    Bytes64 tie = v.hash;
    for (int i = 63; i >= 32 && ++tie[i] == 0; --i) {
    }
    ASSERT_EQ(set_vector_job(ctx.c, v, tie), 0);
    const Batch tied = mine(ctx.c, c, 4, 32, 2);
    EXPECT_NE(std::find(tied.cands.begin(), tied.cands.end(), c), tied.cands.end());
    for (std::uint64_t x : tied.cands) {
        Bytes64 nonce = v.nonce;
        for (int i = 0; i < 8; ++i) nonce[56 + i] = static_cast<std::uint8_t>(x >> (56 - 8 * i));
        std::uint8_t input[96];
        std::memcpy(input, v.header.data(), 32);
        std::memcpy(input + 32, nonce.data(), 64);
        EXPECT_TRUE(hash_meets_target(poseidon2::poseidon2_hash_bytes(input), tie)) << x;
    }
}

TEST(ModuleLayer, QueriesOfTheModule) {
    EXPECT_EQ(qtc_max_threads(), LAYER_MAX_THREADS);
    int count = 0;
    EXPECT_EQ(qtc_device_count(&count), 0);
    EXPECT_STREQ(qtc_error_string(101), "invalid device ordinal");
}

#if !defined(OVIK_REAL_CUDA)
// Every module mines with up to its bound of threads per block (energy with
// 1,024 on compute capability 12.0); the stand-in refuses a launch above the
// kernel's bound.
TEST(ModuleLayer, MiningBoundFollowsTheComputeCapability) {
    struct Case {
        const char* devices;
        std::uint32_t threads;
        int result;
    };
    const Case cases[] = {
        {"Sim Blackwell,2,120,0000:01:00.0", LAYER_CC120_THREADS, 0},
        {"Sim Blackwell,2,120,0000:01:00.0", LAYER_CC120_THREADS + 1, cudaErrorInvalidConfiguration},
        {"Sim Hopper,2,90,0000:01:00.0", LAYER_MAX_THREADS, 0},
        {"Sim Hopper,2,90,0000:01:00.0", LAYER_MAX_THREADS + 1, cudaErrorInvalidConfiguration},
        {"Sim Hopper,2,90,0000:01:00.0", 1024, LAYER_MAX_THREADS < 1024 ? cudaErrorInvalidConfiguration : 0},
    };
    for (const Case& c : cases) {
        setenv("VEZEZIRUZ_SIM_DEVICES", c.devices, 1);
        sim::reload_devices();
        {
            Context ctx;
            ASSERT_NE(ctx.c, nullptr) << ctx.err;
            Bytes64 zero{};
            ASSERT_EQ(set_vector_job(ctx.c, vectors()[0], zero), 0);
            EXPECT_EQ(qtc_mine_launch(ctx.c, 0, 1, c.threads, 1, 0), c.result) << c.devices << " " << c.threads;
            if (c.result != 0) {
                EXPECT_STREQ(qtc_ctx_error(ctx.c), "cudaGetLastError(): invalid configuration argument");
            }
        }
        unsetenv("VEZEZIRUZ_SIM_DEVICES");
        sim::reload_devices();
    }
}
#endif
