// The table of kernel modules by kind: every module this build carries is
// reached through it, hashes like the host and reports its block bound.
#include <gtest/gtest.h>

#include <cstring>

#include "cuda/modules.hpp"
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
