// The energy mining kernel on the CPU stand-in, all cores: nonces per second
// of whole batches (launch and collect) through the host layer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "cuda/energy_host_layer.hpp"

static void BM_energy_k_mine_on_stand_in(benchmark::State& state) {
    char err[256];
    qtc_ctx* c = qtcv_e::qtc_ctx_create(0, 256, err, sizeof err);
    if (c == nullptr) {
        state.SkipWithError(err);
        return;
    }
    std::uint8_t header[32], nhi[32], base[32] = {}, target[64] = {};  // a zero target: nothing found
    for (int i = 0; i < 32; ++i) header[i] = nhi[i] = static_cast<std::uint8_t>(i * 7 + 1);
    qtcv_e::qtc_set_job(c, header, nhi, base, target);
    const std::uint32_t blocks = 16, threads = 256, iters = 8;
    std::vector<std::uint64_t> cands(256);
    std::uint64_t start = 0, nonces = 0;
    for (auto _ : state) {
        std::uint32_t count;
        std::uint64_t launched;
        qtcv_e::qtc_mine_launch(c, start, blocks, threads, iters, 0);
        qtcv_e::qtc_mine_collect(c, 0, cands.data(), &count, &launched);
        start += launched;
        nonces += launched;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(nonces));
    qtcv_e::qtc_ctx_destroy(c);
}
BENCHMARK(BM_energy_k_mine_on_stand_in)->Unit(benchmark::kMillisecond)->UseRealTime();
