// Each kernel module's mining kernel on the CPU stand-in, all cores: nonces
// per second of whole batches (launch and collect) through the module's
// host layer, reached by kernel kind as the GPU handle reaches it.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "cuda/modules.hpp"

namespace {

void k_mine_on_stand_in(benchmark::State& state, int kind) {
    const QtcModule* module = qtc_module(kind);
    char err[256];
    void* c = module->ctx_create(0, 256, err, sizeof err);
    if (c == nullptr) {
        state.SkipWithError(err);
        return;
    }
    std::uint8_t header[32], nhi[32], base[32] = {}, target[64] = {};  // a zero target: nothing found
    for (int i = 0; i < 32; ++i) header[i] = nhi[i] = static_cast<std::uint8_t>(i * 7 + 1);
    module->set_job(c, header, nhi, base, target);
    // 4,096 threads in blocks the module's bound allows.
    const auto threads = static_cast<std::uint32_t>(module->max_threads() < 256 ? module->max_threads() : 256);
    const std::uint32_t blocks = 4096 / threads, iters = 8;
    std::vector<std::uint64_t> cands(256);
    std::uint64_t start = 0, nonces = 0;
    for (auto _ : state) {
        std::uint32_t count;
        std::uint64_t launched;
        module->mine_launch(c, start, blocks, threads, iters, 0);
        module->mine_collect(c, 0, cands.data(), &count, &launched);
        start += launched;
        nonces += launched;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(nonces));
    module->ctx_destroy(c);
}

// One benchmark per module of the table, named after it (k_mine_on_stand_in/energy, …).
[[maybe_unused]] const bool REGISTERED = [] {
    for (int kind = 0; const QtcModule* module = qtc_module(kind); ++kind)
        benchmark::RegisterBenchmark((std::string("k_mine_on_stand_in/") + module->name).c_str(), k_mine_on_stand_in,
                                     kind)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    return true;
}();

}  // namespace
