// The host layer over a small fake kernel module on the CPU stand-in: every
// nonce counter is a candidate, so batch bookkeeping is easy to predict.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cuda/common.hpp"
#include "cuda/host_layer.hpp"
#include "tests/support/subprocess.hpp"

namespace {

QTC_CONSTANT(std::uint8_t, fake_tgt, 64);
QTC_CONSTANT(std::uint64_t, fake_mm, 12);

__global__ void fake_mine(const std::uint64_t*, const std::uint8_t*, std::uint64_t nonce_start, std::uint32_t iters,
                          std::uint32_t* count, std::uint64_t* cands, std::uint32_t cap) {
    const std::uint64_t g = static_cast<std::uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
    for (std::uint32_t i = 0; i < iters; ++i) {
        const unsigned slot = atomicAdd(count, 1u);
        if (slot < cap) cands[slot] = nonce_start + iters * g + i;
    }
}

__global__ void fake_copy(const std::uint8_t* in, std::uint8_t* out, std::uint32_t n, std::uint32_t item) {
    const std::uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) std::memcpy(out + static_cast<std::size_t>(i) * item, in + static_cast<std::size_t>(i) * item, item);
}

__global__ void fake_midstate(const std::uint8_t* hdr_nhi, std::uint64_t* mid) { std::memcpy(mid, hdr_nhi, 64); }

__global__ void idle_mine(const std::uint64_t*, const std::uint8_t*, std::uint64_t, std::uint32_t, std::uint32_t*,
                          std::uint64_t*, std::uint32_t) {}

struct FakeModule {
    static inline bool idle = false;  // mine nothing: for huge geometries
    static unsigned mining_bound() { return 256; }
    static void launch_mine(dim3 grid, dim3 block, cudaStream_t st, const std::uint64_t* mid, const std::uint8_t* base,
                            std::uint64_t start, std::uint32_t iters, std::uint32_t* count, std::uint64_t* cands,
                            std::uint32_t cap) {
        if (idle)
            QTC_LAUNCH(idle_mine, 256, grid, block, st, mid, base, start, iters, count, cands, cap);
        else
            QTC_LAUNCH(fake_mine, 256, grid, block, st, mid, base, start, iters, count, cands, cap);
    }
    static void launch_check(dim3 grid, dim3 block, cudaStream_t st, const std::uint64_t*, const std::uint8_t* nlo,
                             std::uint32_t n, std::uint32_t*, std::uint64_t*, std::uint32_t, std::uint8_t* out) {
        QTC_LAUNCH(fake_copy, 256, grid, block, st, nlo, out, n, 32u);
    }
    static void launch_midstate(cudaStream_t st, const std::uint8_t* hdr_nhi, std::uint64_t* mid) {
        QTC_LAUNCH(fake_midstate, 1, dim3(1), dim3(1), st, hdr_nhi, mid);
    }
    static void launch_midstate_mm(cudaStream_t st, const std::uint64_t* mid, const std::uint8_t*, std::uint64_t* mm) {
        QTC_LAUNCH(fake_midstate, 1, dim3(1), dim3(1), st, reinterpret_cast<const std::uint8_t*>(mid), mm);
    }
    static void launch_hash_full(dim3 grid, dim3 block, cudaStream_t st, const std::uint8_t* in, std::uint8_t* out,
                                 std::uint32_t n) {
        QTC_LAUNCH(fake_copy, 256, grid, block, st, in, out, n, 64u);  // the first 64 of each 96 bytes
    }
    static cudaError_t upload_target(const void* tgt, cudaStream_t st) {
        return cudaMemcpyToSymbolAsync(fake_tgt, tgt, 64, 0, cudaMemcpyHostToDevice, st);
    }
    static cudaError_t upload_start_state(const void* d_mm, cudaStream_t st) {
        return cudaMemcpyToSymbolAsync(fake_mm, d_mm, 96, 0, cudaMemcpyDeviceToDevice, st);
    }
};

using Layer = qtc_host::HostLayer<FakeModule>;

struct Context {
    Context(int device = 0, std::uint32_t cap = 8) : c(Layer::ctx_create(device, cap, err, sizeof err)) {}
    ~Context() { Layer::ctx_destroy(c); }
    qtc_ctx* c;
    char err[256] = "";
};

struct Collected {
    int result;
    std::uint32_t count;
    std::uint64_t launched;
    std::vector<std::uint64_t> cands;
};

Collected collect(qtc_ctx* c, std::uint32_t buf) {
    std::vector<std::uint64_t> cands(c->cap, 0xdeadbeef);
    Collected out{0, 77, 77, {}};
    out.result = Layer::mine_collect(c, buf, cands.data(), &out.count, &out.launched);
    cands.resize(std::min<std::uint32_t>(out.count, c->cap));
    out.cands = cands;
    return out;
}

bool nothing_alive() {
    const sim::LiveObjects live = sim::live_objects();
    return live.streams == 0 && live.events == 0 && live.device_allocations == 0 && live.host_allocations == 0;
}

class HostLayerTest : public testing::Test {
protected:
    void SetUp() override { cudaGetLastError(); }
    void TearDown() override { sim::clear_faults(); }
};

}  // namespace

TEST_F(HostLayerTest, CreationDefaultsAndErrors) {
    {
        Context ctx(0, 0);
        ASSERT_NE(ctx.c, nullptr) << ctx.err;
        EXPECT_EQ(ctx.c->cap, 256u);
        EXPECT_EQ(ctx.c->stream, ctx.c->streams[0]);
        EXPECT_STREQ(Layer::ctx_error(ctx.c), "");
        EXPECT_EQ(ctx.c->busy_ms, 0.0);
    }
    EXPECT_TRUE(nothing_alive());
    EXPECT_STREQ(Layer::ctx_error(nullptr), "null ctx");
    Layer::ctx_destroy(nullptr);

    char err[256];
    EXPECT_EQ(Layer::ctx_create(7, 8, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "cudaSetDevice(7): invalid device ordinal");
    char short_err[10];
    EXPECT_EQ(Layer::ctx_create(7, 8, short_err, sizeof short_err), nullptr);
    EXPECT_STREQ(short_err, "cudaSetDe");

    // A device that refuses the blocking-sync flag is used all the same.
    sim::fail_call("cudaSetDeviceFlags", 1, cudaErrorInvalidValue);
    {
        Context ctx;
        EXPECT_NE(ctx.c, nullptr);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
}

// With VEZEZIRUZ_CPU_SPIN present the device keeps its default scheduling:
// creation never asks for blocking sync.
TEST_F(HostLayerTest, CpuSpinLeavesTheDeviceFlagsAlone) {
    for (bool spin : {false, true}) {
        if (spin)
            setenv("VEZEZIRUZ_CPU_SPIN", "", 1);
        else
            unsetenv("VEZEZIRUZ_CPU_SPIN");
        sim::clear_faults();
        sim::fail_call("cudaSetDeviceFlags", 1, cudaErrorUnknown);  // consumed only if called
        { Context ctx; ASSERT_NE(ctx.c, nullptr); }
        EXPECT_EQ(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync), spin ? cudaErrorUnknown : cudaSuccess) << spin;
        cudaGetLastError();
    }
    unsetenv("VEZEZIRUZ_CPU_SPIN");
}

TEST_F(HostLayerTest, EveryCreationFailureReleasesWhatWasMade) {
    struct Case {
        const char* function;
        int nth;
        const char* text;
    };
    const Case cases[] = {
        {"cudaSetDevice", 1, "cudaSetDevice(0): out of memory"},
        {"cudaStreamCreateWithFlags", 1, "cudaStreamCreate: out of memory"},
        {"cudaStreamCreateWithFlags", 2, "cudaStreamCreate(1): out of memory"},
        {"cudaMalloc", 1, "cudaMalloc: out of memory"},
        {"cudaMalloc", 4, "cudaMalloc: out of memory"},
        {"cudaMalloc", 5, "alloc buffer 0: out of memory"},
        {"cudaMalloc", 6, "alloc buffer 0: out of memory"},
        {"cudaHostAlloc", 2, "alloc buffer 0: out of memory"},
        {"cudaEventCreateWithFlags", 1, "alloc buffer 0: out of memory"},
        {"cudaEventCreate", 2, "alloc buffer 0: out of memory"},
        {"cudaMalloc", 7, "alloc buffer 1: out of memory"},
        {"cudaHostAlloc", 4, "alloc buffer 1: out of memory"},
        {"cudaEventCreate", 4, "alloc buffer 1: out of memory"},
    };
    for (const Case& c : cases) {
        sim::clear_faults();
        sim::fail_call(c.function, c.nth, cudaErrorMemoryAllocation);
        char err[256] = "";
        EXPECT_EQ(Layer::ctx_create(0, 8, err, sizeof err), nullptr) << c.function << " " << c.nth;
        EXPECT_STREQ(err, c.text) << c.function << " " << c.nth;
        EXPECT_TRUE(nothing_alive()) << c.function << " " << c.nth;
    }
}

TEST_F(HostLayerTest, BatchesCountAndStoreCandidates) {
    Context ctx(0, 5);
    ASSERT_NE(ctx.c, nullptr) << ctx.err;
    const Collected idle = collect(ctx.c, 1);  // never launched: no wait, nothing written
    EXPECT_EQ(idle.result, 0);
    EXPECT_EQ(idle.count, 0u);
    EXPECT_EQ(idle.launched, 0u);

    ASSERT_EQ(Layer::mine_launch(ctx.c, 1000, 2, 4, 3, 0), 0) << ctx.c->err;
    EXPECT_EQ(ctx.c->pending[0], 1);
    const Collected batch = collect(ctx.c, 0);
    EXPECT_EQ(batch.count, 24u);  // the raw count, above the capacity
    EXPECT_EQ(batch.launched, 24u);
    ASSERT_EQ(batch.cands.size(), 5u);
    for (std::uint64_t v : batch.cands) EXPECT_TRUE(v >= 1000 && v < 1024) << v;
    EXPECT_EQ(ctx.c->pending[0], 0);
    EXPECT_EQ(collect(ctx.c, 0).count, 0u);  // already collected

    // Both buffers at once, each on its own stream.
    ASSERT_EQ(Layer::mine_launch(ctx.c, 0, 1, 1, 2, 0), 0);
    ASSERT_EQ(Layer::mine_launch(ctx.c, 50, 1, 2, 1, 1), 0);
    EXPECT_EQ(collect(ctx.c, 1).cands.size(), 2u);
    EXPECT_EQ(collect(ctx.c, 0).count, 2u);

    double busy = -1, wall = -1;
    Layer::kernel_times(ctx.c, &busy, &wall);
    EXPECT_GE(busy, 0.0);
    EXPECT_EQ(busy, ctx.c->busy_ms);
}

TEST_F(HostLayerTest, LaunchedCountsIn64Bits) {
    Context ctx;
    FakeModule::idle = true;
    ASSERT_EQ(Layer::mine_launch(ctx.c, 0, 65536, 256, 256, 1), 0) << ctx.c->err;
    EXPECT_EQ(collect(ctx.c, 1).launched, 1ull << 32);
    FakeModule::idle = false;
    ASSERT_EQ(Layer::mine_launch(ctx.c, 0, 1, 1, 0, 1), 0);  // iters 0: an empty batch
    const Collected empty = collect(ctx.c, 1);
    EXPECT_EQ(empty.launched, 0u);
    EXPECT_EQ(empty.count, 0u);
}

TEST_F(HostLayerTest, BufferIndexAboveOneIsRefused) {
    Context ctx;
    EXPECT_EQ(Layer::mine_launch(ctx.c, 0, 1, 1, 1, 2), -1);
    EXPECT_STREQ(Layer::ctx_error(ctx.c), "qtc_mine_launch: buf 2 > 1");
    std::uint32_t count = 9;
    std::uint64_t launched = 9;
    EXPECT_EQ(Layer::mine_collect(ctx.c, 2, nullptr, &count, &launched), -1);
    EXPECT_STREQ(Layer::ctx_error(ctx.c), "qtc_mine_collect: buf 2 > 1");
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(launched, 9u);
    // The text stays after later successes.
    ASSERT_EQ(Layer::mine_launch(ctx.c, 0, 1, 1, 1, 0), 0);
    EXPECT_STREQ(Layer::ctx_error(ctx.c), "qtc_mine_collect: buf 2 > 1");
}

TEST_F(HostLayerTest, HashFullRefusesItemsWhoseOffsetsWouldWrap) {
    Context ctx;
    std::uint8_t in[96] = {}, out[64];
    for (const std::uint32_t n : {qtc_host::HASH_FULL_MAX_ITEMS + 1, 0xffffffffu}) {
        EXPECT_EQ(Layer::hash_full(ctx.c, in, out, n), -1);
        EXPECT_EQ(ctx.c->err, "qtc_hash_full: n " + std::to_string(n) + " > 22369622 (the kernel's 32-bit byte offsets)");
    }
    EXPECT_EQ(ctx.c->d_scratch_cap, 0u);  // refused before anything grows
    EXPECT_EQ(Layer::hash_full(ctx.c, in, out, 1), 0) << ctx.c->err;
}

TEST_F(HostLayerTest, EveryOperationFailureNamesItsStep) {
    struct Case {
        const char* operation;
        const char* function;
        int nth;
        const char* step;
    };
    const Case cases[] = {
        {"launch", "cudaSetDevice", 1, "cudaSetDevice(c->device)"},
        {"launch", "cudaMemsetAsync", 1, "cudaMemsetAsync(c->d_count[buf], 0, 4, st)"},
        {"launch", "cudaEventRecord", 1, "cudaEventRecord(c->ev_k0[buf], st)"},
        {"launch", "launch", 1, "cudaGetLastError()"},
        {"launch", "cudaEventRecord", 2, "cudaEventRecord(c->ev_k1[buf], st)"},
        {"launch", "cudaMemcpyAsync", 1,
         "cudaMemcpyAsync(c->h_count[buf], c->d_count[buf], 4, cudaMemcpyDeviceToHost, st)"},
        {"launch", "cudaMemcpyAsync", 2,
         "cudaMemcpyAsync(c->h_cands[buf], c->d_cands[buf], 8ull * c->cap, cudaMemcpyDeviceToHost, st)"},
        {"launch", "cudaEventRecord", 3, "cudaEventRecord(c->ev_done[buf], st)"},
        {"collect", "cudaSetDevice", 1, "cudaSetDevice(c->device)"},
        {"collect", "cudaEventSynchronize", 1, "cudaEventSynchronize(c->ev_done[buf])"},
        {"set_job", "cudaSetDevice", 1, "cudaSetDevice(c->device)"},
        {"set_job", "cudaStreamSynchronize", 1, "cudaStreamSynchronize(c->streams[0])"},
        {"set_job", "cudaStreamSynchronize", 2, "cudaStreamSynchronize(c->streams[1])"},
        {"set_job", "cudaMemcpyAsync", 1, "cudaMemcpyAsync(c->d_hdr_nhi, hn, 64, cudaMemcpyHostToDevice, c->stream)"},
        {"set_job", "cudaMemcpyAsync", 2, "cudaMemcpyAsync(c->d_base, base32, 32, cudaMemcpyHostToDevice, c->stream)"},
        {"set_job", "cudaMemcpyToSymbolAsync", 1,
         "cudaMemcpyToSymbolAsync(c_tgt, tgt64, 64, 0, cudaMemcpyHostToDevice, c->stream)"},
        {"set_job", "launch", 1, "cudaGetLastError()"},
        {"set_job", "launch", 2, "cudaGetLastError()"},
        {"set_job", "cudaMemcpyToSymbolAsync", 2,
         "cudaMemcpyToSymbolAsync(c_mm, c->d_mm, 96, 0, cudaMemcpyDeviceToDevice, c->stream)"},
        {"set_job", "cudaStreamSynchronize", 3, "cudaStreamSynchronize(c->stream)"},
        {"check", "cudaMemcpyAsync", 1,
         "cudaMemcpyAsync(c->d_scratch, nlo32, 32ull * n, cudaMemcpyHostToDevice, c->stream)"},
        {"check", "cudaMemsetAsync", 1, "cudaMemsetAsync(c->d_count[0], 0, 4, c->stream)"},
        {"check", "launch", 1, "cudaGetLastError()"},
        {"check", "cudaMemcpyAsync", 2,
         "cudaMemcpyAsync(h1_32, c->d_scratch2, 32ull * n, cudaMemcpyDeviceToHost, c->stream)"},
        {"check", "cudaStreamSynchronize", 1, "cudaStreamSynchronize(c->stream)"},
        {"hash_full", "cudaMemcpyAsync", 1,
         "cudaMemcpyAsync(c->d_scratch, in96, 96ull * n, cudaMemcpyHostToDevice, c->stream)"},
        {"hash_full", "launch", 1, "cudaGetLastError()"},
        {"hash_full", "cudaMemcpyAsync", 2,
         "cudaMemcpyAsync(out64, c->d_scratch2, 64ull * n, cudaMemcpyDeviceToHost, c->stream)"},
        {"hash_full", "cudaStreamSynchronize", 1, "cudaStreamSynchronize(c->stream)"},
    };
    std::uint8_t job[64] = {}, in[3 * 96] = {}, out[3 * 64];
    std::uint64_t cands[8];
    std::uint32_t count;
    std::uint64_t launched;
    struct Operation {
        std::function<void(qtc_ctx*)> prepare;  // runs before the fault is armed
        std::function<int(qtc_ctx*)> act;
    };
    const auto nothing = [](qtc_ctx*) {};
    const std::map<std::string, Operation> operations = {
        {"launch", {nothing, [](qtc_ctx* c) { return Layer::mine_launch(c, 0, 1, 1, 1, 0); }}},
        {"collect",
         {[](qtc_ctx* c) { Layer::mine_launch(c, 0, 1, 1, 1, 0); },
          [&](qtc_ctx* c) { return Layer::mine_collect(c, 0, cands, &count, &launched); }}},
        {"set_job", {nothing, [&](qtc_ctx* c) { return Layer::set_job(c, job, job, job, job); }}},
        {"check", {nothing, [&](qtc_ctx* c) { return Layer::mine_check(c, in, out, 3); }}},
        {"hash_full", {nothing, [&](qtc_ctx* c) { return Layer::hash_full(c, in, out, 3); }}},
    };
    for (const Case& c : cases) {
        Context ctx;
        ASSERT_NE(ctx.c, nullptr) << ctx.err;
        const Operation& operation = operations.at(c.operation);
        operation.prepare(ctx.c);
        sim::clear_faults();
        sim::fail_call(c.function, c.nth, cudaErrorLaunchFailure);
        EXPECT_EQ(operation.act(ctx.c), cudaErrorLaunchFailure) << c.operation << " " << c.step;
        EXPECT_EQ(std::string(ctx.c->err), std::string(c.step) + ": unspecified launch failure")
            << c.operation << " " << c.function << " " << c.nth;
        sim::clear_faults();
        cudaStreamSynchronize(ctx.c->streams[0]);
        cudaStreamSynchronize(ctx.c->streams[1]);
        cudaGetLastError();
    }
}

TEST_F(HostLayerTest, ScratchGrowsOnlyAndFailsWithMinusOne) {
    Context ctx;
    std::vector<std::uint8_t> in(1000 * 96, 7), out(1000 * 64);
    ASSERT_EQ(Layer::hash_full(ctx.c, in.data(), out.data(), 1000), 0) << ctx.c->err;
    EXPECT_EQ(ctx.c->d_scratch_cap, 96'000u);
    EXPECT_EQ(ctx.c->d_scratch2_cap, 64'000u);
    ASSERT_EQ(Layer::hash_full(ctx.c, in.data(), out.data(), 10), 0);
    EXPECT_EQ(ctx.c->d_scratch_cap, 96'000u);  // kept

    sim::fail_call("cudaMalloc", 1, cudaErrorMemoryAllocation);
    EXPECT_EQ(Layer::hash_full(ctx.c, in.data(), out.data(), 2000), -1);
    EXPECT_STREQ(ctx.c->err, "cudaMalloc((void**)p, need): out of memory");
    EXPECT_EQ(ctx.c->d_scratch, nullptr);
    EXPECT_EQ(ctx.c->d_scratch_cap, 0u);
    ASSERT_EQ(Layer::hash_full(ctx.c, in.data(), out.data(), 10), 0);  // grows afresh
    EXPECT_EQ(ctx.c->d_scratch_cap, 960u);
}

TEST_F(HostLayerTest, DeviceQueries) {
    int count = 0;
    ASSERT_EQ(qtc_host::device_count(&count), 0);
    EXPECT_GE(count, 1);
    char text[256];
    ASSERT_EQ(qtc_host::device_describe(0, text, sizeof text), 0);
    EXPECT_STREQ(text, "Simulated GPU (2 SM, cc 9.0)");
    char cut[8];
    ASSERT_EQ(qtc_host::device_describe(0, cut, sizeof cut), 0);
    EXPECT_STREQ(cut, "Simulat");
    std::strcpy(text, "untouched");
    EXPECT_EQ(qtc_host::device_describe(9, text, sizeof text), cudaErrorInvalidDevice);
    EXPECT_STREQ(text, "untouched");
    int cc = -1;
    ASSERT_EQ(qtc_compute_capability(0, &cc), 0);
    EXPECT_EQ(cc, 90);
    cc = -1;
    EXPECT_EQ(qtc_compute_capability(9, &cc), cudaErrorInvalidDevice);
    EXPECT_EQ(cc, -1);
    int sms = 0;
    EXPECT_EQ(qtc_host::sm_count(0, &sms), 0);
    EXPECT_EQ(sms, 2);
    EXPECT_EQ(qtc_host::pci_bus_id(0, text, sizeof text), 0);
    EXPECT_STREQ(text, "0000:01:00.0");
    EXPECT_STREQ(qtc_host::error_string(101), "invalid device ordinal");
}

// NVML is tried once per process, so each case runs the probe in a process
// of its own, with or without the stand-in library on its path.
TEST_F(HostLayerTest, NvmlReadingsAndTheirAbsence) {
    const std::string with_standin = NVML_STANDIN_DIR;
    struct Case {
        const char* what;
        std::string library_path;
        std::optional<std::string> readings;
        bool init_fails;
        std::string output;  // result power limit clock
    };
    const Case cases[] = {
        {"all readings", with_standin, "0000:01:00.0,250000,700000,1980", false, "0 250000 700000 1980 0 250000 700000 1980"},
        {"no limit", with_standin, "0000:01:00.0,250000,-,1980", false, "0 250000 0 1980 0 250000 0 1980"},
        {"no clock", with_standin, "0000:01:00.0,250000,700000,-", false, "0 250000 700000 0 0 250000 700000 0"},
        {"power refused", with_standin, "0000:01:00.0,-,700000,1980", false, "-1 1 2 3 -1 1 2 3"},
        {"another card", with_standin, "0000:02:00.0,250000,700000,1980", false, "-1 1 2 3 -1 1 2 3"},
        {"init refused", with_standin, "0000:01:00.0,250000,700000,1980", true, "-1 1 2 3 -1 1 2 3"},
        {"library missing", "/nonexistent", std::nullopt, false, "-1 1 2 3 -1 1 2 3"},
    };
    for (const Case& c : cases) {
        ProcessOptions options;
        options.env = {{"LD_LIBRARY_PATH", c.library_path},
                       {"VEZEZIRUZ_SIM_NVML", c.readings},
                       {"VEZEZIRUZ_SIM_NVML_INIT_FAIL", c.init_fails ? std::optional<std::string>("1") : std::nullopt}};
        const ProcessResult probe = run_process({NVML_PROBE}, options);
        EXPECT_EQ(probe.status, 0) << c.what << probe.err;
        EXPECT_EQ(probe.out, c.output + "\n") << c.what;
    }
}

// ---- The single-stream record of the hb89 module -----------------------------

namespace {

using Single = qtc_host::HostLayer<FakeModule, qtc_host::OneStream>;

struct SingleContext {
    explicit SingleContext(std::uint32_t cap = 8) : c(Single::ctx_create(0, cap, err, sizeof err)) {}
    ~SingleContext() { Single::ctx_destroy(c); }
    qtc_ctx_single_stream* c;
    char err[256] = "";
};

}  // namespace

TEST_F(HostLayerTest, SingleStreamRecordMinesOnItsOneStream) {
    SingleContext ctx(5);
    ASSERT_NE(ctx.c, nullptr) << ctx.err;
    EXPECT_EQ(ctx.c->cap, 5u);
    ASSERT_EQ(Single::mine_launch(ctx.c, 1000, 2, 4, 3, 0), 0) << ctx.c->err;
    ASSERT_EQ(Single::mine_launch(ctx.c, 0, 1, 1, 2, 1), 0);
    std::uint64_t cands[5];
    std::uint32_t count;
    std::uint64_t launched;
    ASSERT_EQ(Single::mine_collect(ctx.c, 0, cands, &count, &launched), 0);
    EXPECT_EQ(count, 24u);
    EXPECT_EQ(launched, 24u);
    ASSERT_EQ(Single::mine_collect(ctx.c, 1, cands, &count, &launched), 0);
    EXPECT_EQ(count, 2u);
    std::uint8_t in[96] = {5}, out[64];
    EXPECT_EQ(Single::hash_full(ctx.c, in, out, 1), 0);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(Single::mine_launch(ctx.c, 0, 1, 1, 1, 2), -1);
    EXPECT_STREQ(Single::ctx_error(ctx.c), "qtc_mine_launch: buf 2 > 1");
}

TEST_F(HostLayerTest, SingleStreamRecordNamesItsOwnSteps) {
    struct Case {
        const char* operation;
        const char* function;
        int nth;
        const char* text;
    };
    const Case cases[] = {
        {"create", "cudaStreamCreateWithFlags", 1, "cudaStreamCreate: unspecified launch failure"},
        {"create", "cudaStreamCreateWithFlags", 2, ""},  // only one stream
        {"create", "cudaMalloc", 5, "alloc buffer 0: unspecified launch failure"},
        {"create", "cudaEventCreateWithFlags", 2, "alloc buffer 1: unspecified launch failure"},
        {"create", "cudaEventCreate", 1, ""},  // no timing events
        {"create", "cudaSetDeviceFlags", 1, ""},  // no device flag
        {"launch", "cudaMemsetAsync", 1, "cudaMemsetAsync(c->d_count[buf], 0, 4, c->stream): unspecified launch failure"},
        {"launch", "launch", 1, "cudaGetLastError(): unspecified launch failure"},
        {"launch", "cudaMemcpyAsync", 1,
         "cudaMemcpyAsync(c->h_count[buf], c->d_count[buf], 4, cudaMemcpyDeviceToHost, c->stream): unspecified "
         "launch failure"},
        {"launch", "cudaMemcpyAsync", 2,
         "cudaMemcpyAsync(c->h_cands[buf], c->d_cands[buf], 8ull * c->cap, cudaMemcpyDeviceToHost, c->stream): "
         "unspecified launch failure"},
        {"launch", "cudaEventRecord", 1, "cudaEventRecord(c->ev_done[buf], c->stream): unspecified launch failure"},
        {"launch", "cudaEventRecord", 2, ""},  // no timing events
        {"set_job", "cudaStreamSynchronize", 1, "cudaStreamSynchronize(c->stream): unspecified launch failure"},
        {"set_job", "cudaMemcpyAsync", 1,
         "cudaMemcpyAsync(c->d_hdr_nhi, hn, 64, cudaMemcpyHostToDevice, c->stream): unspecified launch failure"},
    };
    std::uint8_t job[64] = {};
    for (const Case& c : cases) {
        sim::clear_faults();
        cudaGetLastError();
        const std::string what = std::string(c.operation) + " " + c.function + " " + std::to_string(c.nth);
        if (std::string(c.operation) == "create") {
            sim::fail_call(c.function, c.nth, cudaErrorLaunchFailure);
            char err[256] = "";
            qtc_ctx_single_stream* made = Single::ctx_create(0, 8, err, sizeof err);
            EXPECT_EQ(made == nullptr, *c.text != '\0') << what;
            EXPECT_STREQ(err, c.text) << what;
            Single::ctx_destroy(made);
            EXPECT_TRUE(nothing_alive()) << what;
            continue;
        }
        SingleContext ctx;
        ASSERT_NE(ctx.c, nullptr) << ctx.err;
        sim::fail_call(c.function, c.nth, cudaErrorLaunchFailure);
        const int result = std::string(c.operation) == "launch" ? Single::mine_launch(ctx.c, 0, 1, 1, 1, 0)
                                                                : Single::set_job(ctx.c, job, job, job, job);
        EXPECT_EQ(result, *c.text ? cudaErrorLaunchFailure : 0) << what;
        EXPECT_STREQ(ctx.c->err, c.text) << what;
        sim::clear_faults();
        cudaStreamSynchronize(ctx.c->stream);
    }
    sim::clear_faults();
    cudaGetLastError();
}
