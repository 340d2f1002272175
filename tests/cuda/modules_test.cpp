// The table of kernel modules by kind: every module this build carries is
// reached through it, hashes like the host and reports its block bound.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "cuda/modules.hpp"
#include "poseidon2-core/src/hash.hpp"
#include "src/selftest/vectors.hpp"

TEST(Modules, EveryCarriedModuleWorksThroughTheTable) {
    const char* names[] = {"energy", "compact", "hb89", "fast89", "fast120", "fast86"};
    const int max_threads[] = {256, 256, 1024, 128, 256, 256};
    const auto vectors = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    std::uint8_t in[2 * 96], out[2 * 64];
    for (int i = 0; i < 2; ++i) {
        std::memcpy(in + 96 * i, vectors[i].header.data(), 32);
        std::memcpy(in + 96 * i + 32, vectors[i].nonce.data(), 64);
    }
    ASSERT_NE(qtc_module(0), nullptr) << "energy is always built";
    for (int kind = 0; kind < 6; ++kind) {
        const QtcModule* module = qtc_module(kind);
        if (module == nullptr) continue;
        EXPECT_STREQ(module->name, names[kind]);
        EXPECT_EQ(module->max_threads(), max_threads[kind]) << names[kind];
        EXPECT_EQ(module->kernel_times == nullptr, kind == 2) << names[kind];
        char err[256];
        void* c = module->ctx_create(0, 0, err, sizeof err);
        ASSERT_NE(c, nullptr) << names[kind] << ": " << err;
        EXPECT_STREQ(module->ctx_error(c), "");
        ASSERT_EQ(module->hash_full(c, in, out, 2), 0) << module->ctx_error(c);
        EXPECT_EQ(std::memcmp(out, vectors[0].hash.data(), 64), 0) << names[kind];
        EXPECT_EQ(std::memcmp(out + 64, vectors[1].hash.data(), 64), 0) << names[kind];
        module->ctx_destroy(c);
    }
    EXPECT_EQ(qtc_module(6), nullptr);
    EXPECT_EQ(qtc_module(-1), nullptr);
}

// A module is found by its name as by its kind; nothing else names one.
TEST(Modules, EveryModuleIsFoundByItsName) {
    const char* names[] = {"energy", "compact", "hb89", "fast89", "fast120", "fast86"};
    for (int kind = 0; kind < 6; ++kind) EXPECT_EQ(qtc_module_named(names[kind]), qtc_module(kind)) << names[kind];
    for (const char* other : {"", "auto", "none", "Energy", "fast8", "fast860"})
        EXPECT_EQ(qtc_module_named(other), nullptr) << other;
}

// fast89, fast120 and fast86 share one namespace and every kernel and
// constant name, yet each context runs its own module: the three hold
// different jobs at once and each finds exactly its own job's counter (with
// another module's start state or kernels it would find nothing).
namespace {

// The counters start … start + n − 1 whose host hash is below "hash + 1" of
// the vector's own nonce.
std::set<std::uint64_t> host_candidates(const SelftestVector& v, std::uint64_t start, std::uint64_t n) {
    std::set<std::uint64_t> found;
    for (std::uint64_t k = start; k < start + n; ++k) {
        std::uint8_t in[96];
        std::memcpy(in, v.header.data(), 32);
        std::memcpy(in + 32, v.nonce.data(), 56);
        for (int b = 0; b < 8; ++b) in[88 + b] = static_cast<std::uint8_t>(k >> (56 - 8 * b));
        if (poseidon2::poseidon2_hash_bytes(in) <= v.hash) found.insert(k);
    }
    return found;
}

}  // namespace

TEST(Modules, ThreeModulesOfOneNamespaceKeepTheirOwnKernelsAndConstants) {
    const auto vectors = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL).value();
    struct Run {
        int kind;
        std::size_t vector;
    };
    // Three of the smallest hashes: their "hash + 1" targets take few counters.
    const Run runs[] = {{3, 3466}, {4, 1703}, {5, 754}};
    auto counter_of = [](const Bytes64& nonce) {
        std::uint64_t v = 0;
        for (int i = 56; i < 64; ++i) v = v << 8 | nonce[i];
        return v;
    };
    auto plus_one = [](Bytes64 h) {
        for (int i = 63; i >= 0 && ++h[i] == 0; --i) {
        }
        return h;
    };
    void* contexts[3];
    char err[256];
    for (int i = 0; i < 3; ++i) {
        const QtcModule* m = qtc_module(runs[i].kind);
        contexts[i] = m->ctx_create(0, 16, err, sizeof err);
        ASSERT_NE(contexts[i], nullptr) << err;
        const SelftestVector& v = vectors[runs[i].vector];
        const Bytes64 target = plus_one(v.hash);
        ASSERT_EQ(m->set_job(contexts[i], v.header.data(), v.nonce.data(), v.nonce.data() + 32, target.data()), 0);
    }
    for (int i = 0; i < 3; ++i) {
        const QtcModule* m = qtc_module(runs[i].kind);
        const std::uint64_t c = counter_of(vectors[runs[i].vector].nonce);
        // 32 threads of 4 counters from c − 64.
        ASSERT_EQ(m->mine_launch(contexts[i], c - 64, 1, 32, 4, 0), 0) << m->ctx_error(contexts[i]);
        std::uint64_t cands[16], launched;
        std::uint32_t count;
        ASSERT_EQ(m->mine_collect(contexts[i], 0, cands, &count, &launched), 0) << m->ctx_error(contexts[i]);
        EXPECT_EQ(launched, 128u);
        ASSERT_LE(count, 16u) << m->name;
        EXPECT_EQ(std::set<std::uint64_t>(cands, cands + count), host_candidates(vectors[runs[i].vector], c - 64, 128))
            << m->name;
    }
    for (int i = 0; i < 3; ++i) qtc_module(runs[i].kind)->ctx_destroy(contexts[i]);
}
