// The GPU handle on stand-in devices: kernel names, the capability rules of
// gpu_open, dispatch by kind, the geometry refusal, collects and the error
// texts of every layer below.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cuda/modules.hpp"
#include "src/gpu/device.hpp"
#include "src/gpu/geometry.hpp"
#include "src/gpu/gpu_context.hpp"
#include "tests/gpu/stand_in_devices.hpp"

namespace {

TEST(KernelKind, NamesTheUserTypes) {
    struct Case {
        const char* text;
        KernelKind kind;
    };
    const Case cases[] = {
        {"e", KernelKind::energy},         {"Energy", KernelKind::energy}, {"E", KernelKind::energy},
        {"c", KernelKind::compact},        {"COMPACT", KernelKind::compact}, {"hb89", KernelKind::hb89},
        {"fast89", KernelKind::fast89},    {"fast120", KernelKind::fast120}, {" \tFAST86\u3000\n", KernelKind::fast86},
        {"fast 86", KernelKind::none},     {"", KernelKind::none},          {"auto", KernelKind::none},
        {"hb-89", KernelKind::none},       {"énergie", KernelKind::none},   {"ENERGY!", KernelKind::none},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_kernel_name(c.text), c.kind) << '"' << c.text << '"';
    for (KernelKind kind : ALL_KERNEL_KINDS) EXPECT_EQ(parse_kernel_name(kernel_name(kind)), kind);
}

// A row that names another module, claims kernel times its module does not
// keep, refuses without words, or is tuned where it cannot run would
// compile; these are the mistakes a new row can make.
TEST(KernelVariants, EachRowDispatchesToItsOwnModuleAndRefusesInWords) {
    for (const KernelVariant& row : KERNEL_VARIANTS) {
        SCOPED_TRACE(row.name);
        const QtcModule* module = variant_module(row);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(std::string(module->name), row.name);
        EXPECT_EQ(module->kernel_times != nullptr, row.kernel_timing);
        EXPECT_EQ(&kernel_variant(row.kind), &row);
        EXPECT_EQ(row.refusal_at_open.empty(), row.runs_on.all());
        EXPECT_EQ(row.refusal_of_choice.empty(), row.runs_on.all());
        for (int cc = 10; cc <= 130; ++cc) {
            if (row.tuned_on.contains(cc)) {
                EXPECT_TRUE(row.runs_on.contains(cc)) << "tuned on " << cc;
            }
        }
        if (!row.alias.empty()) {
            EXPECT_EQ(parse_kernel_name(row.alias), row.kind);
        }
    }
}

TEST(CstrToString, TakesTheTextUpToItsNulLossily) {
    EXPECT_EQ(cstr_to_string(nullptr), "?");
    EXPECT_EQ(cstr_to_string("cudaMalloc: out of memory\0tail"), "cudaMalloc: out of memory");
    EXPECT_EQ(cstr_to_string("bad \xff byte"), "bad \uFFFD byte");
    EXPECT_EQ(cstr_to_string(""), "");
}

class GpuHandle : public StandInDevices {};

TEST_F(GpuHandle, DeviceQueriesAndTheirFailures) {
    EXPECT_EQ(gpu_device_name(DEVICE_89).value(), "Sim RTX 4090 (128 SM, cc 8.9)");
    EXPECT_EQ(gpu_sm_count(DEVICE_90).value(), 132);
    EXPECT_EQ(gpu_device_name(9).error().message(), "cudaGetDeviceProperties(9): invalid device ordinal");
    EXPECT_EQ(gpu_sm_count(9).error().message(), "cudaDeviceGetAttribute(SM, 9): invalid device ordinal");
    // The query succeeds and reads no multiprocessor: still a failure.
    EXPECT_EQ(gpu_sm_count(DEVICE_NO_SM).error().message(), "cudaDeviceGetAttribute(SM, 4): no error");
}

TEST_F(GpuHandle, OpenFollowsTheCapabilityRuleOfEachVariant) {
    struct Case {
        KernelKind kind;
        int device;
        const char* error;  // null: opens
    };
    const char* sm89 = "this kernel is available only on SM89 / RTX 40 GPUs";
    const char* sm120 = "fast120 requires an SM120 GPU";
    const char* sm86 = "fast86 requires an SM86 GPU (SM89 allowed for compatibility tests)";
    const Case cases[] = {
        {KernelKind::energy, DEVICE_86, nullptr},  {KernelKind::compact, DEVICE_120, nullptr},
        {KernelKind::hb89, DEVICE_89, nullptr},    {KernelKind::hb89, DEVICE_90, sm89},
        {KernelKind::fast89, DEVICE_89, nullptr},  {KernelKind::fast89, DEVICE_86, sm89},
        {KernelKind::fast120, DEVICE_120, nullptr}, {KernelKind::fast120, DEVICE_90, sm120},
        {KernelKind::fast86, DEVICE_86, nullptr},  {KernelKind::fast86, DEVICE_89, nullptr},
        {KernelKind::fast86, DEVICE_90, sm86},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << kernel_name(c.kind) << " on device " << c.device);
        const sim::LiveObjects before = sim::live_objects();
        {
            Result<GpuContext> gpu = gpu_open(c.device, 8, c.kind);
            if (c.error == nullptr) {
                ASSERT_TRUE(gpu) << gpu.error().message();
                EXPECT_EQ(gpu->kind(), c.kind);
                EXPECT_EQ(gpu->device(), c.device);
                EXPECT_EQ(gpu->cap(), 8u);
            } else {
                ASSERT_FALSE(gpu);
                EXPECT_EQ(gpu.error().message(), c.error);
                // Refused before any context existed.
                EXPECT_EQ(sim::live_objects().streams, before.streams);
            }
        }
        EXPECT_EQ(sim::live_objects().streams, before.streams) << "dropping the handle destroys the context";
    }
}

TEST_F(GpuHandle, OnlyTheRuledVariantsQueryTheCapability) {
    for (KernelKind kind : {KernelKind::energy, KernelKind::compact}) {
        sim::fail_call("cudaDeviceGetAttribute", 1, cudaErrorUnknown);
        EXPECT_TRUE(gpu_open(DEVICE_89, 0, kind)) << kernel_name(kind);
        sim::clear_faults();
    }
    for (KernelKind kind : {KernelKind::hb89, KernelKind::fast89, KernelKind::fast120, KernelKind::fast86}) {
        sim::fail_call("cudaDeviceGetAttribute", 1, cudaErrorUnknown);
        const Result<GpuContext> gpu = gpu_open(DEVICE_89, 0, kind);
        ASSERT_FALSE(gpu) << kernel_name(kind);
        EXPECT_EQ(gpu.error().message(), "CUDA capability query failed: 999");
        sim::clear_faults();
    }
}

TEST_F(GpuHandle, FailedCreateCarriesTheHostLayersText) {
    sim::fail_call("cudaMalloc", 1, cudaErrorMemoryAllocation);
    const Result<GpuContext> gpu = gpu_open(1, 0, KernelKind::fast89);
    ASSERT_FALSE(gpu);
    EXPECT_EQ(gpu.error().message(), "GPU 1 (fast89): cudaMalloc: out of memory");
}

TEST_F(GpuHandle, LaunchGeometryIsRefusedBeforeTheHostLayer) {
    struct Case {
        KernelKind kind;
        int device;
        std::uint32_t blocks, threads, iters;
        bool refused;
    };
    const Case cases[] = {
        {KernelKind::fast89, DEVICE_89, 1, 128, 1, false}, {KernelKind::fast89, DEVICE_89, 1, 129, 1, true},
        {KernelKind::compact, DEVICE_90, 1, 256, 1, false}, {KernelKind::compact, DEVICE_90, 1, 257, 1, true},
        {KernelKind::energy, DEVICE_120, 1, 1024, 1, false}, {KernelKind::energy, DEVICE_90, 1, 1024, 1, true},
        {KernelKind::hb89, DEVICE_89, 1, 1024, 1, false},  {KernelKind::hb89, DEVICE_89, 1, 1025, 1, true},
        {KernelKind::energy, DEVICE_90, 0, 32, 1, true},   {KernelKind::energy, DEVICE_90, 1, 0, 1, true},
        {KernelKind::energy, DEVICE_90, 1, 32, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << kernel_name(c.kind) << ' ' << c.blocks << 'x' << c.threads << 'x' << c.iters);
        Result<GpuContext> gpu = gpu_open(c.device, 0, c.kind);
        ASSERT_TRUE(gpu) << gpu.error().message();
        ASSERT_TRUE(gpu_set_job(*gpu, {}, {}, {}, {}));
        const Result<void> launched = gpu_mine_launch(*gpu, 0, c.blocks, c.threads, c.iters, 0);
        if (c.refused) {
            ASSERT_FALSE(launched);
            EXPECT_EQ(launched.error().message(), "invalid launch geometry for " + std::string(kernel_name(c.kind)));
            EXPECT_EQ(gpu_last_error(*gpu), "") << "the host layer was not called";
        } else {
            ASSERT_TRUE(launched) << launched.error().message();
            const Result<BatchResult> batch = gpu_mine_collect(*gpu, 0);
            ASSERT_TRUE(batch) << batch.error().message();
            EXPECT_EQ(batch->launched, std::uint64_t{c.blocks} * c.threads * c.iters);
        }
    }
}

TEST_F(GpuHandle, CollectReturnsWhatTheBatchFoundUpToTheCapacity) {
    Bytes64 easiest;
    easiest.fill(0xff);
    Result<GpuContext> gpu = gpu_open(DEVICE_90, 0, KernelKind::compact);
    ASSERT_TRUE(gpu);
    EXPECT_EQ(gpu->cap(), 256u);
    ASSERT_TRUE(gpu_set_job(*gpu, {}, {}, {}, easiest));

    const Result<BatchResult> idle = gpu_mine_collect(*gpu, 1);
    ASSERT_TRUE(idle);
    EXPECT_TRUE(idle->candidates.empty());
    EXPECT_EQ(idle->launched, 0u);
    EXPECT_EQ(idle->count, 0u);

    ASSERT_TRUE(gpu_mine_launch(*gpu, 5000, 3, 100, 1, 1));  // 300 candidates
    const Result<BatchResult> full = gpu_mine_collect(*gpu, 1);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->count, 300u);
    EXPECT_EQ(full->launched, 300u);
    ASSERT_EQ(full->candidates.size(), 256u);
    for (std::uint64_t c : full->candidates) EXPECT_TRUE(c >= 5000 && c < 5300) << c;
}

TEST_F(GpuHandle, HostLayerFailuresNameDeviceVariantAndFunction) {
    Result<GpuContext> gpu = gpu_open(DEVICE_89, 0, KernelKind::hb89);
    ASSERT_TRUE(gpu);
    ASSERT_TRUE(gpu_set_job(*gpu, {}, {}, {}, {}));
    ASSERT_TRUE(gpu_mine_launch(*gpu, 0, 1, 32, 1, 0));
    sim::fail_call("cudaEventSynchronize", 1, cudaErrorLaunchFailure);
    const Result<BatchResult> batch = gpu_mine_collect(*gpu, 0);
    ASSERT_FALSE(batch);
    EXPECT_EQ(batch.error().message(),
              "GPU 1 [hb89]: qtc_mine_collect: cudaEventSynchronize(c->ev_done[buf]): unspecified launch failure");
    EXPECT_EQ(gpu_last_error(*gpu), "cudaEventSynchronize(c->ev_done[buf]): unspecified launch failure");

    // A buffer index above 1 is the host layer's refusal, through the same form.
    const Result<void> launch = gpu_mine_launch(*gpu, 0, 1, 32, 1, 2);
    ASSERT_FALSE(launch);
    EXPECT_EQ(launch.error().message(), "GPU 1 [hb89]: qtc_mine_launch: qtc_mine_launch: buf 2 > 1");
}

TEST_F(GpuHandle, MovedHandleOwnsTheContextOnce) {
    const std::size_t streams = sim::live_objects().streams;
    {
        Result<GpuContext> opened = gpu_open(DEVICE_90, 0, KernelKind::energy);
        ASSERT_TRUE(opened);
        GpuContext moved = std::move(*opened);
        GpuContext assigned = std::move(*gpu_open(DEVICE_90, 0, KernelKind::compact));
        assigned = std::move(moved);  // the compact context is destroyed here
        EXPECT_EQ(assigned.kind(), KernelKind::energy);
        EXPECT_EQ(sim::live_objects().streams, streams + 2);
    }
    EXPECT_EQ(sim::live_objects().streams, streams);
}

}  // namespace
