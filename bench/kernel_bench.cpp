// Each kernel module's mining kernel on the CPU stand-in, all cores: nonces
// per second of whole batches (launch and collect) through the module's
// host layer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "cuda/compact_host_layer.hpp"
#include "cuda/energy_host_layer.hpp"

namespace {

// The flat qtc_ functions a batch needs, from one module's namespace.
struct Layer {
    qtc_ctx* (*ctx_create)(int, std::uint32_t, char*, int);
    void (*ctx_destroy)(qtc_ctx*);
    int (*set_job)(qtc_ctx*, const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, const std::uint8_t*);
    int (*mine_launch)(qtc_ctx*, std::uint64_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
    int (*mine_collect)(qtc_ctx*, std::uint32_t, std::uint64_t*, std::uint32_t*, std::uint64_t*);
};

#define LAYER_OF(ns) \
    Layer { ns::qtc_ctx_create, ns::qtc_ctx_destroy, ns::qtc_set_job, ns::qtc_mine_launch, ns::qtc_mine_collect }

void k_mine_on_stand_in(benchmark::State& state, Layer layer) {
    char err[256];
    qtc_ctx* c = layer.ctx_create(0, 256, err, sizeof err);
    if (c == nullptr) {
        state.SkipWithError(err);
        return;
    }
    std::uint8_t header[32], nhi[32], base[32] = {}, target[64] = {};  // a zero target: nothing found
    for (int i = 0; i < 32; ++i) header[i] = nhi[i] = static_cast<std::uint8_t>(i * 7 + 1);
    layer.set_job(c, header, nhi, base, target);
    const std::uint32_t blocks = 16, threads = 256, iters = 8;
    std::vector<std::uint64_t> cands(256);
    std::uint64_t start = 0, nonces = 0;
    for (auto _ : state) {
        std::uint32_t count;
        std::uint64_t launched;
        layer.mine_launch(c, start, blocks, threads, iters, 0);
        layer.mine_collect(c, 0, cands.data(), &count, &launched);
        start += launched;
        nonces += launched;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(nonces));
    layer.ctx_destroy(c);
}

}  // namespace

BENCHMARK_CAPTURE(k_mine_on_stand_in, energy, LAYER_OF(qtcv_e))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(k_mine_on_stand_in, compact, LAYER_OF(qtcv_c))->Unit(benchmark::kMillisecond)->UseRealTime();
