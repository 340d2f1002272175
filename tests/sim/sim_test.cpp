#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "cuda/portability.hpp"

namespace {

using namespace std::chrono_literals;

constexpr const char* TWO_DEVICES = "GPU A,2,90,0000:01:00.0;GPU B,4,86,0000:02:00.0";

// Devices from `list` (null: the variable unset) for the scope.
class ScopedDevices {
public:
    explicit ScopedDevices(const char* list) {
        if (list) setenv("VEZEZIRUZ_SIM_DEVICES", list, 1);
        else unsetenv("VEZEZIRUZ_SIM_DEVICES");
        sim::reload_devices();
    }
    ~ScopedDevices() {
        unsetenv("VEZEZIRUZ_SIM_DEVICES");
        sim::reload_devices();
        cudaSetDevice(0);
        cudaGetLastError();
    }
    ScopedDevices(const ScopedDevices&) = delete;
    ScopedDevices& operator=(const ScopedDevices&) = delete;
};

class Sim : public ::testing::Test {
protected:
    void SetUp() override {
        sim::clear_faults();
        cudaSetDevice(0);
        cudaGetLastError();
    }
    void TearDown() override { sim::clear_faults(); }
};

// A one-thread kernel that holds its stream until the gate opens.
class Gate {
public:
    ~Gate() { open(); }
    void hold(cudaStream_t stream) {
        sim::launch("gate", 0, 1, 1, stream, [this] { open_.wait(false); });
    }
    void open() {
        open_.store(true);
        open_.notify_all();
    }

private:
    std::atomic<bool> open_{false};
};

cudaStream_t new_stream() {
    cudaStream_t s = nullptr;
    EXPECT_EQ(cudaStreamCreateWithFlags(&s, cudaStreamNonBlocking), cudaSuccess);
    return s;
}

template <typename T>
T* device_alloc(std::size_t n) {
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, n * sizeof(T)), cudaSuccess);
    return static_cast<T*>(p);
}

template <typename T>
T* host_alloc(std::size_t n) {
    void* p = nullptr;
    EXPECT_EQ(cudaHostAlloc(&p, n * sizeof(T), cudaHostAllocDefault), cudaSuccess);
    return static_cast<T*>(p);
}

// Kernels written as the GPU code is, through the portability header.
QTC_CONSTANT(std::uint32_t, c_words, 4);

__global__ void k_global_index(std::uint32_t* out, std::uint32_t* visits) {
    const std::uint32_t block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const std::uint32_t thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const std::uint32_t i = block * blockDim.x * blockDim.y * blockDim.z + thread;
    out[i] = i;
    atomicAdd(&visits[i], 1u);
}

__global__ void k_copy_constant(std::uint32_t* out) {
    const unsigned i = threadIdx.x;
    out[i] = c_words[i];
}

__global__ void k_add_word0(std::uint32_t* count) { atomicAdd(count, c_words[0]); }

__global__ void k_double(unsigned char* bytes) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    bytes[i] = static_cast<unsigned char>(bytes[i] * 2);
}

}  // namespace

// ---- Devices -------------------------------------------------------------------

TEST_F(Sim, DevicesComeFromTheVariableOrTheDefault) {
    struct Expected {
        std::string name;
        int sms, major, minor;
        std::string bus_id;
        int domain, bus, device;
    };
    struct Case {
        const char* variable;
        cudaError_t status;
        std::vector<Expected> devices;
    };
    const Case cases[] = {
        {nullptr, cudaSuccess, {{"Simulated GPU", 2, 9, 0, "0000:01:00.0", 0, 1, 0}}},
        {"NVIDIA A100,108,80,0000:41:00.0;NVIDIA GeForce RTX 4090,128,89,0000:81:1f.0",
         cudaSuccess,
         {{"NVIDIA A100", 108, 8, 0, "0000:41:00.0", 0, 0x41, 0},
          {"NVIDIA GeForce RTX 4090", 128, 8, 9, "0000:81:1f.0", 0, 0x81, 0x1f}}},
        {"Odd, Inc. GPU , 4 , 120 , 0001:02:03.1 ;;", cudaSuccess,
         {{"Odd, Inc. GPU", 4, 12, 0, "0001:02:03.1", 1, 2, 3}}},
        {"", cudaErrorNoDevice, {}},
        {"GPU,0,90,0000:01:00.0", cudaSuccess, {{"GPU", 0, 9, 0, "0000:01:00.0", 0, 1, 0}}},
        {"GPU,-1,90,0000:01:00.0", cudaErrorInitializationError, {}},
        {"GPU,2,9x,0000:01:00.0", cudaErrorInitializationError, {}},
        {"GPU,2,90,01:00.0", cudaErrorInitializationError, {}},
        {"GPU,2,90,0000:01:20.0", cudaErrorInitializationError, {}},
        {"2,90,0000:01:00.0", cudaErrorInitializationError, {}},
        {"GPU,2,90,0000:01:00.0;broken", cudaErrorInitializationError, {}},
    };
    for (const Case& c : cases) {
        const std::string what = c.variable ? c.variable : "(unset)";
        ScopedDevices scoped(c.variable);
        int count = -1;
        EXPECT_EQ(cudaGetDeviceCount(&count), c.status) << what;
        EXPECT_EQ(count, static_cast<int>(c.devices.size())) << what;
        if (c.status != cudaSuccess) {
            void* p = nullptr;
            EXPECT_EQ(cudaMalloc(&p, 16), c.status) << what << ": every call fails alike";
            EXPECT_EQ(cudaGetLastError(), c.status) << what;
        }
        for (std::size_t i = 0; i < c.devices.size(); ++i) {
            const Expected& e = c.devices[i];
            const int d = static_cast<int>(i);
            cudaDeviceProp prop{};
            ASSERT_EQ(cudaGetDeviceProperties(&prop, d), cudaSuccess) << what;
            EXPECT_STREQ(prop.name, e.name.c_str()) << what;
            EXPECT_EQ(prop.multiProcessorCount, e.sms) << what;
            EXPECT_EQ(prop.major, e.major) << what;
            EXPECT_EQ(prop.minor, e.minor) << what;
            EXPECT_EQ(prop.maxThreadsPerBlock, 1024) << what;
            EXPECT_GT(prop.totalGlobalMem, 0u) << what;
            EXPECT_EQ(prop.pciDomainID, e.domain) << what;
            EXPECT_EQ(prop.pciBusID, e.bus) << what;
            EXPECT_EQ(prop.pciDeviceID, e.device) << what;
            const std::pair<cudaDeviceAttr, int> attributes[] = {{cudaDevAttrMaxThreadsPerBlock, 1024},
                                                                 {cudaDevAttrMultiProcessorCount, e.sms},
                                                                 {cudaDevAttrComputeCapabilityMajor, e.major},
                                                                 {cudaDevAttrComputeCapabilityMinor, e.minor}};
            for (const auto& [attr, value] : attributes) {
                int got = -1;
                EXPECT_EQ(cudaDeviceGetAttribute(&got, attr, d), cudaSuccess) << what;
                EXPECT_EQ(got, value) << what << " attribute " << attr;
            }
            char bus_id[64];
            EXPECT_EQ(cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, d), cudaSuccess) << what;
            EXPECT_STREQ(bus_id, e.bus_id.c_str()) << what;
        }
    }
}

TEST_F(Sim, DevicesAreReadOncePerProcess) {
    ScopedDevices scoped(nullptr);
    int count = 0;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 1);
    setenv("VEZEZIRUZ_SIM_DEVICES", TWO_DEVICES, 1);
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 1);
    sim::reload_devices();
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 2);
}

TEST_F(Sim, DevicesRefuseMoreThanTheStandInHolds) {
    std::string list;
    for (int i = 0; i <= sim::MAX_DEVICES; ++i) list += "GPU,2,90,0000:" + std::to_string(10 + i) + ":00.0;";
    ScopedDevices scoped(list.c_str());
    int count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorInitializationError);
    EXPECT_EQ(count, 0);
}

TEST_F(Sim, BusIdIsCutToTheBuffer) {
    struct Case {
        int len;
        cudaError_t result;
        const char* text;  // what the buffer holds afterwards
    };
    const Case cases[] = {
        {64, cudaSuccess, "0000:01:00.0"}, {13, cudaSuccess, "0000:01:00.0"}, {12, cudaSuccess, "0000:01:00."},
        {5, cudaSuccess, "0000"},          {1, cudaSuccess, ""},              {0, cudaErrorInvalidValue, "untouched"},
        {-1, cudaErrorInvalidValue, "untouched"},
    };
    for (const Case& c : cases) {
        char buffer[64] = "untouched";
        EXPECT_EQ(cudaDeviceGetPCIBusId(buffer, c.len, 0), c.result) << c.len;
        EXPECT_STREQ(buffer, c.text) << c.len;
    }
    EXPECT_EQ(cudaDeviceGetPCIBusId(nullptr, 64, 0), cudaErrorInvalidValue);
}

TEST_F(Sim, InvalidDeviceOrdinalIsRefusedAndRecorded) {
    ScopedDevices scoped(TWO_DEVICES);
    cudaDeviceProp prop{};
    int value = 0;
    char text[64];
    const std::pair<const char*, std::function<cudaError_t()>> calls[] = {
        {"cudaSetDevice(-1)", [] { return cudaSetDevice(-1); }},
        {"cudaSetDevice(2)", [] { return cudaSetDevice(2); }},
        {"cudaGetDeviceProperties", [&] { return cudaGetDeviceProperties(&prop, 2); }},
        {"cudaDeviceGetAttribute", [&] { return cudaDeviceGetAttribute(&value, cudaDevAttrMultiProcessorCount, 7); }},
        {"cudaDeviceGetPCIBusId", [&] { return cudaDeviceGetPCIBusId(text, sizeof text, -3); }},
    };
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    for (const auto& [what, call] : calls) {
        EXPECT_EQ(call(), cudaErrorInvalidDevice) << what;
        EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "invalid device ordinal") << what;
        int device = -1;
        EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
        EXPECT_EQ(device, 1) << what << " keeps the current device";
    }
    EXPECT_EQ(cudaDeviceGetAttribute(&value, static_cast<cudaDeviceAttr>(2), 0), cudaErrorInvalidValue);
}

TEST_F(Sim, DeviceFlagsTakeOneScheduleFlag) {
    for (unsigned flags : {0u, 1u, 2u, cudaDeviceScheduleBlockingSync})
        EXPECT_EQ(cudaSetDeviceFlags(flags), cudaSuccess) << flags;
    for (unsigned flags : {3u, 5u, 8u, 0x100u}) EXPECT_EQ(cudaSetDeviceFlags(flags), cudaErrorInvalidValue) << flags;
}

// ---- Errors --------------------------------------------------------------------

TEST_F(Sim, ErrorTextsAreTheRuntimes) {
    const std::pair<int, const char*> cases[] = {
        {0, "no error"},
        {1, "invalid argument"},
        {2, "out of memory"},
        {3, "initialization error"},
        {9, "invalid configuration argument"},
        {17, "invalid device pointer"},
        {21, "invalid copy direction for memcpy"},
        {35, "CUDA driver version is insufficient for CUDA runtime version"},
        {100, "no CUDA-capable device is detected"},
        {101, "invalid device ordinal"},
        {400, "invalid resource handle"},
        {600, "device not ready"},
        {701, "too many resources requested for launch"},
        {719, "unspecified launch failure"},
        {999, "unknown error"},
        {4, "unrecognized error code"},
        {-1, "unrecognized error code"},
        {12345, "unrecognized error code"},
    };
    for (const auto& [code, text] : cases)
        EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(code)), text) << code;
}

TEST_F(Sim, LastErrorIsPerThreadAndStaysUntilRead) {
    ASSERT_EQ(cudaSetDevice(5), cudaErrorInvalidDevice);
    int device = -1;
    ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);  // a later success leaves it
    std::thread other([] {
        EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(nullptr, 4), cudaErrorInvalidValue);
        EXPECT_EQ(cudaFree(&p), cudaErrorInvalidDevicePointer);  // the latest failure wins
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevicePointer);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    });
    other.join();
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

// ---- Memory ---------------------------------------------------------------------

TEST_F(Sim, MemoryCallsCheckTheirPointers) {
    auto* d = device_alloc<unsigned char>(64);
    auto* h = host_alloc<unsigned char>(64);
    unsigned char stack[64] = {};
    void* p = &stack;
    const std::pair<const char*, void*> bad_frees[] = {
        {"never allocated", stack}, {"inside an allocation", d + 1}, {"pinned memory", h}};
    for (const auto& [what, pointer] : bad_frees) EXPECT_EQ(cudaFree(pointer), cudaErrorInvalidDevicePointer) << what;

    struct Case {
        const char* what;
        std::function<cudaError_t()> call;
        cudaError_t expected;
    };
    const Case cases[] = {
        {"malloc without an out pointer", [] { return cudaMalloc(nullptr, 4); }, cudaErrorInvalidValue},
        {"malloc above the device memory", [&] { return cudaMalloc(&p, std::size_t{1} << 40); },
         cudaErrorMemoryAllocation},
        {"pinned free of device memory", [&] { return cudaFreeHost(d); }, cudaErrorInvalidValue},
        {"pinned free never allocated", [&] { return cudaFreeHost(stack); }, cudaErrorInvalidValue},
        {"pinned alloc with unknown flags", [&] { return cudaHostAlloc(&p, 4, 0x80); }, cudaErrorInvalidValue},
        {"memset of host memory", [&] { return cudaMemsetAsync(h, 0, 4); }, cudaErrorInvalidValue},
        {"memset past the end", [&] { return cudaMemsetAsync(d + 60, 0, 5); }, cudaErrorInvalidValue},
        {"memset of nothing", [&] { return cudaMemsetAsync(nullptr, 0, 0); }, cudaSuccess},
        {"copy to device past the end", [&] { return cudaMemcpyAsync(d + 1, h, 64, cudaMemcpyHostToDevice); },
         cudaErrorInvalidValue},
        {"copy from device out of host memory", [&] { return cudaMemcpyAsync(h, stack, 8, cudaMemcpyDeviceToHost); },
         cudaErrorInvalidValue},
        {"device to device from the host", [&] { return cudaMemcpyAsync(d, h, 8, cudaMemcpyDeviceToDevice); },
         cudaErrorInvalidValue},
        {"copy with a null source", [&] { return cudaMemcpyAsync(h, nullptr, 8, cudaMemcpyHostToHost); },
         cudaErrorInvalidValue},
        {"copy of an unknown kind", [&] { return cudaMemcpyAsync(h, d, 8, static_cast<cudaMemcpyKind>(7)); },
         cudaErrorInvalidMemcpyDirection},
        {"synchronous copy past the end", [&] { return cudaMemcpy(h, d + 32, 33, cudaMemcpyDeviceToHost); },
         cudaErrorInvalidValue},
        {"copy inside the bounds", [&] { return cudaMemcpyAsync(h, d + 32, 32, cudaMemcpyDeviceToHost); },
         cudaSuccess},
        {"default kind checks nothing", [&] { return cudaMemcpyAsync(h, stack, 8, cudaMemcpyDefault); }, cudaSuccess},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.what;
        EXPECT_EQ(cudaGetLastError(), c.expected) << c.what;
    }
    EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);

    EXPECT_EQ(cudaFree(d), cudaSuccess);
    EXPECT_EQ(cudaFree(d), cudaErrorInvalidDevicePointer) << "double free";
    EXPECT_EQ(cudaFreeHost(h), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(h), cudaErrorInvalidValue) << "double free";
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(nullptr), cudaSuccess);
    p = stack;
    EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
    EXPECT_EQ(cudaFree(p), cudaSuccess);
}

TEST_F(Sim, FreeWaitsForWorkAlreadyQueued) {
    cudaStream_t s = new_stream();
    auto* d = device_alloc<unsigned char>(4096);
    std::vector<unsigned char> out(4096, 0);
    Gate gate;
    gate.hold(s);
    ASSERT_EQ(cudaMemsetAsync(d, 0x5c, 4096, s), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(out.data(), d, 4096, cudaMemcpyDeviceToHost, s), cudaSuccess);
    std::thread opener([&] {
        std::this_thread::sleep_for(30ms);
        gate.open();
    });
    EXPECT_EQ(cudaFree(d), cudaSuccess);
    EXPECT_EQ(out, std::vector<unsigned char>(4096, 0x5c));
    opener.join();
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

// ---- Streams ----------------------------------------------------------------------

TEST_F(Sim, StreamRunsItsWorkInOrderAfterTheCallsReturn) {
    constexpr std::size_t N = 256;
    cudaStream_t s = new_stream();
    auto* d = device_alloc<unsigned char>(N);
    auto* h = host_alloc<unsigned char>(N);
    std::memset(h, 0, N);
    std::vector<unsigned char> pattern(N / 2);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<unsigned char>(i);
    cudaEvent_t done = nullptr;
    ASSERT_EQ(cudaEventCreateWithFlags(&done, cudaEventBlockingSync | cudaEventDisableTiming), cudaSuccess);

    Gate gate;
    gate.hold(s);
    ASSERT_EQ(cudaMemsetAsync(d, 0x11, N, s), cudaSuccess);                                            // all 0x11
    ASSERT_EQ(cudaMemcpyAsync(d, pattern.data(), N / 2, cudaMemcpyHostToDevice, s), cudaSuccess);       // front: i
    QTC_LAUNCH(k_double, 128, N / 64, 64, s, d);                                                        // doubled
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaMemsetAsync(d + N - 16, 0x7f, 16, s), cudaSuccess);                                  // tail
    ASSERT_EQ(cudaMemcpyAsync(h, d, N, cudaMemcpyDeviceToHost, s), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, s), cudaSuccess);

    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(h[0], 0) << "nothing runs while the stream is held";
    gate.open();
    ASSERT_EQ(cudaEventSynchronize(done), cudaSuccess);
    for (std::size_t i = 0; i < N; ++i) {
        const unsigned expected = i < N / 2 ? (2 * i) & 0xff : i < N - 16 ? 0x22 : 0x7f;
        ASSERT_EQ(h[i], expected) << i;
    }
    EXPECT_EQ(cudaEventDestroy(done), cudaSuccess);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(h), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

// A host source is staged when the call returns, as the runtime does for
// pageable memory: the caller may overwrite it at once.
TEST_F(Sim, CopiesFromHostMemoryAreStagedAtTheCall) {
    cudaStream_t stream;
    ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
    void* device = nullptr;
    ASSERT_EQ(cudaMalloc(&device, 4), cudaSuccess);
    // Hold the stream back behind a launch until the source has changed.
    std::atomic<bool> release{false};
    sim::launch("hold", 0, dim3(1), dim3(1), stream, [&] {
        while (!release) std::this_thread::yield();
    });
    unsigned char source[4] = {1, 2, 3, 4};
    ASSERT_EQ(cudaMemcpyAsync(device, source, 4, cudaMemcpyHostToDevice, stream), cudaSuccess);
    std::memset(source, 9, sizeof source);
    release = true;
    unsigned char back[4] = {};
    ASSERT_EQ(cudaMemcpyAsync(back, device, 4, cudaMemcpyDeviceToHost, stream), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    EXPECT_EQ(std::vector<unsigned char>(back, back + 4), (std::vector<unsigned char>{1, 2, 3, 4}));
    cudaFree(device);
    cudaStreamDestroy(stream);
}

TEST_F(Sim, StreamsDoNotWaitForEachOther) {
    cudaStream_t held = new_stream();
    cudaStream_t other = new_stream();
    Gate gate;
    gate.hold(held);
    std::atomic<int> ran{0};
    sim::launch("count", 0, 2, 8, other, [&] { ran.fetch_add(1); });
    EXPECT_EQ(cudaStreamSynchronize(other), cudaSuccess);
    EXPECT_EQ(ran.load(), 16);
    std::atomic<int> null_ran{0};
    sim::launch("count", 0, 1, 4, nullptr, [&] { null_ran.fetch_add(1); });
    EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess) << "the null stream is a stream of its own";
    EXPECT_EQ(null_ran.load(), 4);
    gate.open();
    EXPECT_EQ(cudaStreamDestroy(held), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(other), cudaSuccess);
}

TEST_F(Sim, SynchronousCallsWaitForTheirWork) {
    cudaStream_t a = new_stream();
    cudaStream_t b = new_stream();
    std::atomic<int> finished{0};
    for (cudaStream_t s : {a, b})
        sim::launch("slow", 0, 1, 1, s, [&] {
            std::this_thread::sleep_for(20ms);
            finished.fetch_add(1);
        });
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(finished.load(), 2) << "device synchronise waits for every stream of the device";

    auto* d = device_alloc<std::uint32_t>(1);
    const std::uint32_t in = 0xabcdef01;
    std::uint32_t out = 0;
    EXPECT_EQ(cudaMemcpy(d, &in, 4, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(&out, d, 4, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(out, in);

    // Destroying a stream lets its queued work finish first.
    Gate gate;
    gate.hold(a);
    ASSERT_EQ(cudaMemsetAsync(d, 0, 4, a), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(&out, d, 4, cudaMemcpyDeviceToHost, a), cudaSuccess);
    std::thread opener([&] {
        std::this_thread::sleep_for(20ms);
        gate.open();
    });
    EXPECT_EQ(cudaStreamDestroy(a), cudaSuccess);
    EXPECT_EQ(out, 0u);
    opener.join();

    EXPECT_EQ(cudaStreamDestroy(a), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamSynchronize(a), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaMemsetAsync(d, 0, 4, a), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamDestroy(nullptr), cudaErrorInvalidResourceHandle);
    cudaStream_t s = nullptr;
    EXPECT_EQ(cudaStreamCreateWithFlags(&s, 2), cudaErrorInvalidValue);
    EXPECT_EQ(cudaStreamCreateWithFlags(nullptr, 0), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(b), cudaSuccess);
}

// ---- Events -----------------------------------------------------------------------

TEST_F(Sim, EventsTimeTheWorkBetweenThem) {
    cudaStream_t s = new_stream();
    cudaEvent_t start = nullptr, end = nullptr;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&end, cudaEventBlockingSync), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(start, s), cudaSuccess);
    sim::launch("slow", 0, 1, 1, s, [] { std::this_thread::sleep_for(25ms); });
    ASSERT_EQ(cudaEventRecord(end, s), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(end), cudaSuccess);
    float ms = -1;
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, end), cudaSuccess);
    EXPECT_GE(ms, 25.0f);
    EXPECT_LT(ms, 5000.0f);
    float back = 0;
    ASSERT_EQ(cudaEventElapsedTime(&back, end, start), cudaSuccess);
    EXPECT_FLOAT_EQ(back, -ms);

    // A new record moves the event to the time it is reached.
    ASSERT_EQ(cudaEventRecord(start, s), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(start), cudaSuccess);
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, end), cudaSuccess);
    EXPECT_LE(ms, 0.0f);

    EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(end), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

TEST_F(Sim, EventTimingRefusals) {
    cudaStream_t s = new_stream();
    cudaEvent_t timed = nullptr, untimed = nullptr, never = nullptr, pending = nullptr, gone = nullptr;
    ASSERT_EQ(cudaEventCreate(&timed), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&never), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&pending), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&gone), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(timed, s), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(untimed, s), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(gone, s), cudaSuccess);
    ASSERT_EQ(cudaEventDestroy(gone), cudaSuccess);
    Gate gate;
    gate.hold(s);
    ASSERT_EQ(cudaEventRecord(pending, s), cudaSuccess);

    struct Case {
        const char* what;
        cudaEvent_t start, end;
        cudaError_t expected;
    };
    const Case cases[] = {
        {"timing disabled at the start", untimed, timed, cudaErrorInvalidResourceHandle},
        {"timing disabled at the end", timed, untimed, cudaErrorInvalidResourceHandle},
        {"never recorded", timed, never, cudaErrorInvalidResourceHandle},
        {"destroyed", gone, timed, cudaErrorInvalidResourceHandle},
        {"not reached yet", timed, pending, cudaErrorNotReady},
        {"not reached yet, at the start", pending, timed, cudaErrorNotReady},
    };
    for (const Case& c : cases) {
        float ms = 1234;
        EXPECT_EQ(cudaEventElapsedTime(&ms, c.start, c.end), c.expected) << c.what;
        EXPECT_EQ(cudaGetLastError(), c.expected) << c.what;
        EXPECT_EQ(ms, 1234) << c.what;
    }
    EXPECT_STREQ(cudaGetErrorString(cudaErrorNotReady), "device not ready");
    EXPECT_EQ(cudaEventElapsedTime(nullptr, timed, timed), cudaErrorInvalidValue);
    EXPECT_EQ(cudaEventSynchronize(never), cudaSuccess) << "an event never recorded counts as completed";
    EXPECT_EQ(cudaEventRecord(gone, s), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventSynchronize(nullptr), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventCreateWithFlags(&gone, 8), cudaErrorInvalidValue);

    gate.open();
    ASSERT_EQ(cudaEventSynchronize(pending), cudaSuccess);
    float ms = -1;
    EXPECT_EQ(cudaEventElapsedTime(&ms, timed, pending), cudaSuccess);
    EXPECT_GE(ms, 0.0f);
    for (cudaEvent_t e : {timed, untimed, never, pending}) EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

TEST_F(Sim, EventSynchronizeWaitsForTheLatestRecord) {
    cudaStream_t first = new_stream();
    cudaStream_t second = new_stream();
    cudaEvent_t e = nullptr;
    ASSERT_EQ(cudaEventCreate(&e), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(e, first), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(first), cudaSuccess);
    Gate gate;
    gate.hold(second);
    ASSERT_EQ(cudaEventRecord(e, second), cudaSuccess);
    float ms = 0;
    EXPECT_EQ(cudaEventElapsedTime(&ms, e, e), cudaErrorNotReady) << "the earlier record no longer counts";

    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        EXPECT_EQ(cudaEventSynchronize(e), cudaSuccess);
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load());
    gate.open();
    waiter.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(cudaEventElapsedTime(&ms, e, e), cudaSuccess);
    EXPECT_EQ(ms, 0.0f);

    // An earlier record that its stream reaches late changes nothing.
    Gate late;
    late.hold(first);
    ASSERT_EQ(cudaEventRecord(e, first), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(e, second), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(e), cudaSuccess);
    late.open();
    ASSERT_EQ(cudaStreamSynchronize(first), cudaSuccess);
    EXPECT_EQ(cudaEventElapsedTime(&ms, e, e), cudaSuccess);

    // Destroying an event whose record is still queued is allowed.
    Gate again;
    again.hold(first);
    ASSERT_EQ(cudaEventRecord(e, first), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
    again.open();
    EXPECT_EQ(cudaStreamDestroy(first), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(second), cudaSuccess);
}

// ---- Launches ---------------------------------------------------------------------

TEST_F(Sim, LaunchRefusalsComeThroughTheLastError) {
    struct Case {
        const char* what;
        unsigned bound;
        dim3 grid, block;
        cudaError_t expected;
    };
    const Case cases[] = {
        {"empty grid in x", 0, {0, 1, 1}, {32, 1, 1}, cudaErrorInvalidConfiguration},
        {"empty grid in y", 0, {1, 0, 1}, {32, 1, 1}, cudaErrorInvalidConfiguration},
        {"empty grid in z", 0, {1, 1, 0}, {32, 1, 1}, cudaErrorInvalidConfiguration},
        {"empty block", 0, {1, 1, 1}, {0, 1, 1}, cudaErrorInvalidConfiguration},
        {"empty block in z", 0, {1, 1, 1}, {8, 8, 0}, cudaErrorInvalidConfiguration},
        {"above the device's threads per block", 0, {1, 1, 1}, {1025, 1, 1}, cudaErrorInvalidConfiguration},
        {"above the device in three dimensions", 0, {1, 1, 1}, {32, 16, 4}, cudaErrorInvalidConfiguration},
        {"block deeper than 64", 0, {1, 1, 1}, {1, 1, 65}, cudaErrorInvalidConfiguration},
        {"grid taller than 65535", 0, {1, 65536, 1}, {1, 1, 1}, cudaErrorInvalidConfiguration},
        {"above the launch bound", 256, {2, 1, 1}, {257, 1, 1}, cudaErrorInvalidConfiguration},
        {"above the bound in two dimensions", 128, {1, 1, 1}, {16, 9, 1}, cudaErrorInvalidConfiguration},
        {"at the launch bound", 256, {2, 1, 1}, {256, 1, 1}, cudaSuccess},
        {"at the device limit without a bound", 0, {1, 1, 1}, {1024, 1, 1}, cudaSuccess},
        {"a bound above the device limit", 2048, {1, 1, 1}, {1024, 2, 1}, cudaErrorInvalidConfiguration},
    };
    cudaStream_t s = new_stream();
    for (const Case& c : cases) {
        std::atomic<unsigned> ran{0};
        sim::launch("k", c.bound, c.grid, c.block, s, [&] { ran.fetch_add(1); });
        EXPECT_EQ(cudaGetLastError(), c.expected) << c.what;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << c.what;
        ASSERT_EQ(cudaStreamSynchronize(s), cudaSuccess);
        const unsigned threads = c.grid.x * c.grid.y * c.grid.z * c.block.x * c.block.y * c.block.z;
        EXPECT_EQ(ran.load(), c.expected == cudaSuccess ? threads : 0u) << c.what;
    }
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");

    sim::launch("k", 0, 1, 1, reinterpret_cast<cudaStream_t>(&s), [] {});
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle) << "unknown stream";
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

TEST_F(Sim, KernelRunsEveryThreadOnceWithItsCoordinates) {
    const dim3 grid(5, 3, 2), block(8, 4, 2);
    const std::size_t n = 5 * 3 * 2 * 8 * 4 * 2;
    auto* out = device_alloc<std::uint32_t>(n);
    auto* visits = device_alloc<std::uint32_t>(n);
    cudaStream_t s = new_stream();
    ASSERT_EQ(cudaMemsetAsync(visits, 0, n * 4, s), cudaSuccess);
    QTC_LAUNCH(k_global_index, 64, grid, block, s, out, visits);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<std::uint32_t> got(n), seen(n);
    ASSERT_EQ(cudaMemcpyAsync(got.data(), out, n * 4, cudaMemcpyDeviceToHost, s), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(seen.data(), visits, n * 4, cudaMemcpyDeviceToHost, s), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(s), cudaSuccess);
    for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(got[i], i);
        ASSERT_EQ(seen[i], 1u) << i;
    }
    EXPECT_EQ(cudaFree(out), cudaSuccess);
    EXPECT_EQ(cudaFree(visits), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

TEST_F(Sim, ConstantsAreKeptPerDevice) {
    ScopedDevices scoped(TWO_DEVICES);
    const std::uint32_t words[2][4] = {{1, 2, 3, 4}, {50, 60, 70, 80}};
    std::uint32_t out[2][4] = {};
    cudaStream_t streams[2];
    std::uint32_t* d_out[2];
    for (int d = 0; d < 2; ++d) {
        ASSERT_EQ(cudaSetDevice(d), cudaSuccess);
        streams[d] = new_stream();
        d_out[d] = device_alloc<std::uint32_t>(4);
        ASSERT_EQ(cudaMemcpyToSymbolAsync(c_words, words[d], 16, 0, cudaMemcpyHostToDevice, streams[d]), cudaSuccess);
    }
    for (int d = 0; d < 2; ++d) {
        ASSERT_EQ(cudaSetDevice(d), cudaSuccess);
        QTC_LAUNCH(k_copy_constant, 4, 1, 4, streams[d], d_out[d]);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        ASSERT_EQ(cudaMemcpyAsync(out[d], d_out[d], 16, cudaMemcpyDeviceToHost, streams[d]), cudaSuccess);
    }
    for (int d = 0; d < 2; ++d) {
        ASSERT_EQ(cudaStreamSynchronize(streams[d]), cudaSuccess);
        EXPECT_EQ(std::memcmp(out[d], words[d], 16), 0) << "device " << d;
    }

    // Offsets, device sources and the refusals, on device 1.
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    const std::uint32_t nine = 9;
    ASSERT_EQ(cudaMemcpyToSymbolAsync(c_words, &nine, 4, 12, cudaMemcpyHostToDevice, streams[1]), cudaSuccess);
    ASSERT_EQ(cudaMemcpyToSymbolAsync(c_words, d_out[0], 4, 0, cudaMemcpyDeviceToDevice, streams[1]), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(streams[1]), cudaSuccess);
    EXPECT_EQ(c_words.storage[1][0], 1u);
    EXPECT_EQ(c_words.storage[1][3], 9u);
    EXPECT_EQ(c_words.storage[0][3], 4u);
    struct Case {
        const char* what;
        std::size_t count, offset;
        cudaMemcpyKind kind;
        const void* src;
        cudaError_t expected;
    };
    const Case cases[] = {
        {"past the end", 8, 12, cudaMemcpyHostToDevice, words, cudaErrorInvalidValue},
        {"offset past the end", 0, 17, cudaMemcpyHostToDevice, words, cudaErrorInvalidValue},
        {"more than the symbol", 20, 0, cudaMemcpyHostToDevice, words, cudaErrorInvalidValue},
        {"device to host", 4, 0, cudaMemcpyDeviceToHost, words, cudaErrorInvalidMemcpyDirection},
        {"host to host", 4, 0, cudaMemcpyHostToHost, words, cudaErrorInvalidMemcpyDirection},
        {"device to device from the host", 4, 0, cudaMemcpyDeviceToDevice, words, cudaErrorInvalidValue},
        {"exactly to the end", 4, 12, cudaMemcpyDefault, words, cudaSuccess},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cudaMemcpyToSymbolAsync(c_words, c.src, c.count, c.offset, c.kind, streams[1]), c.expected)
            << c.what;
        EXPECT_EQ(cudaGetLastError(), c.expected) << c.what;
    }

    // A launch goes to a stream of the calling thread's device only.
    QTC_LAUNCH(k_copy_constant, 4, 1, 4, streams[0], d_out[0]);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(cudaFree(d_out[d]), cudaSuccess);
        EXPECT_EQ(cudaStreamDestroy(streams[d]), cudaSuccess);
    }
}

TEST_F(Sim, EventsAndStreamsOfDifferentDevicesDoNotMix) {
    ScopedDevices scoped(TWO_DEVICES);
    cudaStream_t s0 = new_stream();
    cudaEvent_t e0 = nullptr, e1 = nullptr;
    ASSERT_EQ(cudaEventCreate(&e0), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&e1), cudaSuccess);
    EXPECT_EQ(cudaEventRecord(e1, s0), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventRecord(e0, s0), cudaSuccess) << "the stream's device, not the current one, counts";
    EXPECT_EQ(cudaEventRecord(e1), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(e0), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(e1), cudaSuccess);
    float ms = 0;
    EXPECT_EQ(cudaEventElapsedTime(&ms, e0, e1), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventDestroy(e0), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e1), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s0), cudaSuccess);
}

// ---- Fault injection ----------------------------------------------------------------

// The text form, as VEZEZIRUZ_SIM_FAIL gives it: every entry armed, or none.
TEST_F(Sim, FaultsFromTheirTextForm) {
    ASSERT_TRUE(sim::fail_calls(" cudaEventSynchronize@2:719 ; cudaMalloc@1:2;"));
    cudaEvent_t e = nullptr;
    ASSERT_EQ(cudaEventCreate(&e), cudaSuccess);
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, 8), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaEventSynchronize(e), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(e), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaEventSynchronize(e), cudaSuccess);
    cudaGetLastError();

    for (const char* malformed : {"", " ; ", "cudaMalloc", "cudaMalloc@1", "@1:2", "cudaMalloc@0:2", "cudaMalloc@x:2",
                                  "cudaMalloc@1:0", "cudaMalloc@1:2x", "cudaMalloc:2@1", "cudaMalloc@1:2;cudaFree"}) {
        EXPECT_FALSE(sim::fail_calls(malformed)) << malformed;
        EXPECT_EQ(cudaMalloc(&p, 8), cudaSuccess) << malformed << ": nothing armed";
        EXPECT_EQ(cudaFree(p), cudaSuccess);
    }
    EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
}

// A hold delays the n-th call of its function and only that one; the call
// then does its work. In text form it sits beside the failures.
TEST_F(Sim, HoldDelaysTheNthCallThenRunsIt) {
    using Clock = std::chrono::steady_clock;
    ASSERT_TRUE(sim::fail_calls("cudaEventSynchronize@2:hold=300"));
    cudaEvent_t e = nullptr;
    ASSERT_EQ(cudaEventCreate(&e), cudaSuccess);
    std::vector<Clock::duration> took;
    for (int call = 1; call <= 3; ++call) {
        const auto start = Clock::now();
        EXPECT_EQ(cudaEventSynchronize(e), cudaSuccess) << "call " << call;
        took.push_back(Clock::now() - start);
    }
    EXPECT_LT(took[0], std::chrono::milliseconds(100));
    EXPECT_GE(took[1], std::chrono::milliseconds(300));
    EXPECT_LT(took[2], std::chrono::milliseconds(100));
    for (const char* malformed : {"cudaMalloc@1:hold=", "cudaMalloc@1:hold=0", "cudaMalloc@1:hold=x", "cudaMalloc@1:hold"})
        EXPECT_FALSE(sim::fail_calls(malformed)) << malformed;
    EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
}

TEST_F(Sim, FaultHitsTheNthCallOfItsFunctionOnly) {
    sim::fail_call("cudaMalloc", 3, cudaErrorMemoryAllocation);
    void* p[4] = {};
    EXPECT_EQ(cudaMalloc(&p[0], 8), cudaSuccess);
    EXPECT_EQ(cudaFree(p[0]), cudaSuccess);  // other functions do not count
    EXPECT_EQ(cudaMalloc(&p[1], 8), cudaSuccess);
    const sim::LiveObjects before = sim::live_objects();
    EXPECT_EQ(cudaMalloc(&p[2], 8), cudaErrorMemoryAllocation);
    EXPECT_EQ(p[2], nullptr);
    EXPECT_EQ(sim::live_objects().device_allocations, before.device_allocations);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&p[3], 8), cudaSuccess) << "a fault fires once";
    EXPECT_EQ(cudaFree(p[1]), cudaSuccess);
    EXPECT_EQ(cudaFree(p[3]), cudaSuccess);

    // Several at once, each counted from when it was armed.
    cudaEvent_t e = nullptr;
    ASSERT_EQ(cudaEventCreate(&e), cudaSuccess);
    sim::fail_call("cudaEventRecord", 2, cudaErrorInvalidResourceHandle);
    sim::fail_call("cudaEventRecord", 3, cudaErrorLaunchFailure);
    sim::fail_call("cudaEventSynchronize", 1, cudaErrorUnknown);
    const cudaError_t expected[] = {cudaSuccess, cudaErrorInvalidResourceHandle, cudaErrorLaunchFailure, cudaSuccess};
    for (cudaError_t code : expected) EXPECT_EQ(cudaEventRecord(e), code);
    EXPECT_EQ(cudaEventSynchronize(e), cudaErrorUnknown);
    EXPECT_EQ(cudaEventSynchronize(e), cudaSuccess);

    sim::fail_call("cudaEventDestroy", 1, cudaErrorUnknown);
    sim::clear_faults();
    EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
}

// A corrupted result reaches the host of the chosen copy only: the n-th
// device-to-host copy of its size, not copies of other sizes or directions.
TEST_F(Sim, CorruptionFlipsOneBitOfTheChosenCopyToTheHost) {
    void* d = nullptr;
    ASSERT_EQ(cudaMalloc(&d, 16), cudaSuccess);
    std::uint8_t pattern[16];
    for (int i = 0; i < 16; ++i) pattern[i] = static_cast<std::uint8_t>(0x10 + i);
    ASSERT_EQ(cudaMemcpy(d, pattern, 16, cudaMemcpyHostToDevice), cudaSuccess);
    sim::corrupt_copy_to_host(16, 2, 5);
    std::uint8_t out[16];
    struct Step {
        std::size_t count;
        bool flipped;
    };
    // A copy of 8 bytes does not count; the second one of 16 is hit, once.
    const Step steps[] = {{16, false}, {8, false}, {16, true}, {16, false}};
    for (const Step& step : steps) {
        std::memset(out, 0, sizeof out);
        ASSERT_EQ(cudaMemcpy(out, d, step.count, cudaMemcpyDeviceToHost), cudaSuccess);
        for (std::size_t i = 0; i < step.count; ++i)
            EXPECT_EQ(out[i], pattern[i] ^ (step.flipped && i == 5 ? 1 : 0)) << step.count << " byte " << i;
    }
    sim::corrupt_copy_to_host(16, 1, 0);
    sim::clear_faults();
    ASSERT_EQ(cudaMemcpy(out, d, 16, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(out[0], pattern[0]);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
}

TEST_F(Sim, EveryRuntimeCallCanBeMadeToFail) {
    ScopedDevices scoped(TWO_DEVICES);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    cudaStream_t s = new_stream();
    cudaEvent_t e = nullptr;
    ASSERT_EQ(cudaEventCreate(&e), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(e, s), cudaSuccess);
    auto* d = device_alloc<unsigned char>(16);
    auto* h = host_alloc<unsigned char>(16);

    int count = 0, device = 0, value = 0;
    cudaDeviceProp prop{};
    char text[64];
    void* p = nullptr;
    cudaStream_t s2 = nullptr;
    cudaEvent_t e2 = nullptr;
    float ms = 0;
    const std::uint32_t word = 77;
    std::atomic<int> kernel_ran{0};
    const std::pair<const char*, std::function<cudaError_t()>> calls[] = {
        {"cudaGetDeviceCount", [&] { return cudaGetDeviceCount(&count); }},
        {"cudaSetDevice", [&] { return cudaSetDevice(0); }},
        {"cudaGetDevice", [&] { return cudaGetDevice(&device); }},
        {"cudaSetDeviceFlags", [&] { return cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync); }},
        {"cudaGetDeviceProperties", [&] { return cudaGetDeviceProperties(&prop, 0); }},
        {"cudaDeviceGetAttribute", [&] { return cudaDeviceGetAttribute(&value, cudaDevAttrMultiProcessorCount, 0); }},
        {"cudaDeviceGetPCIBusId", [&] { return cudaDeviceGetPCIBusId(text, sizeof text, 0); }},
        {"cudaDeviceSynchronize", [&] { return cudaDeviceSynchronize(); }},
        {"cudaStreamCreateWithFlags", [&] { return cudaStreamCreateWithFlags(&s2, cudaStreamNonBlocking); }},
        {"cudaStreamDestroy", [&] { return cudaStreamDestroy(s); }},
        {"cudaStreamSynchronize", [&] { return cudaStreamSynchronize(s); }},
        {"cudaMalloc", [&] { return cudaMalloc(&p, 16); }},
        {"cudaFree", [&] { return cudaFree(d); }},
        {"cudaHostAlloc", [&] { return cudaHostAlloc(&p, 16, cudaHostAllocDefault); }},
        {"cudaFreeHost", [&] { return cudaFreeHost(h); }},
        {"cudaMemsetAsync", [&] { return cudaMemsetAsync(d, 0, 16, s); }},
        {"cudaMemcpyAsync", [&] { return cudaMemcpyAsync(h, d, 16, cudaMemcpyDeviceToHost, s); }},
        {"cudaMemcpy", [&] { return cudaMemcpy(h, d, 16, cudaMemcpyDeviceToHost); }},
        {"cudaMemcpyToSymbolAsync",
         [&] { return cudaMemcpyToSymbolAsync(c_words, &word, 4, 0, cudaMemcpyHostToDevice, s); }},
        {"cudaEventCreate", [&] { return cudaEventCreate(&e2); }},
        {"cudaEventCreateWithFlags", [&] { return cudaEventCreateWithFlags(&e2, cudaEventDisableTiming); }},
        {"cudaEventRecord", [&] { return cudaEventRecord(e, s); }},
        {"cudaEventSynchronize", [&] { return cudaEventSynchronize(e); }},
        {"cudaEventElapsedTime", [&] { return cudaEventElapsedTime(&ms, e, e); }},
        {"cudaEventDestroy", [&] { return cudaEventDestroy(e); }},
        {"launch",
         [&] {
             sim::launch("k", 0, 1, 1, s, [&] { kernel_ran = 1; });
             return cudaPeekAtLastError();
         }},
        {"cudaGetLastError", [] { return cudaGetLastError(); }},
        {"cudaPeekAtLastError", [] { return cudaPeekAtLastError(); }},
    };
    ASSERT_EQ(cudaStreamSynchronize(s), cudaSuccess);
    for (const auto& [name, call] : calls) {
        std::memset(h, 0x3c, 16);
        std::memset(d, 0x4d, 16);
        c_words.storage[1][0] = 0;
        const sim::LiveObjects before = sim::live_objects();

        sim::fail_call(name, 1, cudaErrorUnknown);
        EXPECT_EQ(call(), cudaErrorUnknown) << name;
        const bool reads_last_error = std::string_view(name).ends_with("LastError");
        EXPECT_EQ(cudaGetLastError(), reads_last_error ? cudaSuccess : cudaErrorUnknown) << name;

        // ... and did nothing.
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess) << name;
        const sim::LiveObjects after = sim::live_objects();
        EXPECT_EQ(after.streams, before.streams) << name;
        EXPECT_EQ(after.events, before.events) << name;
        EXPECT_EQ(after.device_allocations, before.device_allocations) << name;
        EXPECT_EQ(after.host_allocations, before.host_allocations) << name;
        EXPECT_EQ(h[0], 0x3c) << name;
        EXPECT_EQ(d[0], 0x4d) << name;
        EXPECT_EQ(c_words.storage[1][0], 0u) << name;
        EXPECT_EQ(kernel_ran.load(), 0) << name;
        ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
        EXPECT_EQ(device, 1) << name;
    }
    // The handles the faulted calls were given are all still alive.
    EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
    EXPECT_EQ(cudaFree(d), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(h), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

TEST_F(Sim, LastErrorFaultLeavesTheRecordedError) {
    ASSERT_EQ(cudaSetDevice(9), cudaErrorInvalidDevice);
    sim::fail_call("cudaGetLastError", 1, cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

// ---- Live objects --------------------------------------------------------------------

TEST_F(Sim, LiveObjectsCountWhatIsCreatedAndNotYetReleased) {
    const sim::LiveObjects base = sim::live_objects();
    auto expect = [&](std::size_t streams, std::size_t events, std::size_t device, std::size_t host, const char* when) {
        const sim::LiveObjects now = sim::live_objects();
        EXPECT_EQ(now.streams, base.streams + streams) << when;
        EXPECT_EQ(now.events, base.events + events) << when;
        EXPECT_EQ(now.device_allocations, base.device_allocations + device) << when;
        EXPECT_EQ(now.host_allocations, base.host_allocations + host) << when;
    };
    cudaStream_t s[2] = {new_stream(), new_stream()};
    cudaEvent_t e[3];
    for (auto& event : e) ASSERT_EQ(cudaEventCreate(&event), cudaSuccess);
    void* d[2];
    for (auto& p : d) ASSERT_EQ(cudaMalloc(&p, 32), cudaSuccess);
    void* h = host_alloc<char>(32);
    void* empty = nullptr;
    ASSERT_EQ(cudaMalloc(&empty, 0), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);  // the null stream is not counted
    expect(2, 3, 2, 1, "created");

    sim::fail_call("cudaStreamCreateWithFlags", 1, cudaErrorMemoryAllocation);
    sim::fail_call("cudaEventCreate", 1, cudaErrorMemoryAllocation);
    cudaStream_t failed_stream = nullptr;
    cudaEvent_t failed_event = nullptr;
    EXPECT_NE(cudaStreamCreateWithFlags(&failed_stream, 0), cudaSuccess);
    EXPECT_NE(cudaEventCreate(&failed_event), cudaSuccess);
    expect(2, 3, 2, 1, "failed creations");

    EXPECT_EQ(cudaStreamDestroy(s[0]), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e[1]), cudaSuccess);
    EXPECT_EQ(cudaFree(d[0]), cudaSuccess);
    expect(1, 2, 1, 1, "some released");
    EXPECT_EQ(cudaStreamDestroy(s[1]), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e[0]), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e[2]), cudaSuccess);
    EXPECT_EQ(cudaFree(d[1]), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(h), cudaSuccess);
    expect(0, 0, 0, 0, "all released");
}

// ---- Concurrency --------------------------------------------------------------------

TEST_F(Sim, HostThreadsDriveTheirOwnDevicesAtOnce) {
    ScopedDevices scoped(TWO_DEVICES);
    for (int d = 0; d < 2; ++d) {
        ASSERT_EQ(cudaSetDevice(d), cudaSuccess);
        const std::uint32_t scale[4] = {static_cast<std::uint32_t>(d + 1), 0, 0, 0};
        ASSERT_EQ(cudaMemcpyToSymbolAsync(c_words, scale, sizeof scale), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }
    constexpr int THREADS = 4, ROUNDS = 20;
    std::vector<std::thread> workers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < THREADS; ++t) {
        workers.emplace_back([t, &wrong] {
            const int device = t % 2;
            EXPECT_EQ(cudaSetDevice(device), cudaSuccess);
            cudaStream_t s[2] = {new_stream(), new_stream()};
            std::uint32_t* d_count[2] = {device_alloc<std::uint32_t>(1), device_alloc<std::uint32_t>(1)};
            std::uint32_t* h_count[2] = {host_alloc<std::uint32_t>(1), host_alloc<std::uint32_t>(1)};
            cudaEvent_t done[2];
            for (auto& e : done) EXPECT_EQ(cudaEventCreateWithFlags(&e, cudaEventDisableTiming), cudaSuccess);
            std::uint32_t expected[2] = {};
            auto collect = [&](int b) {
                EXPECT_EQ(cudaEventSynchronize(done[b]), cudaSuccess);
                if (*h_count[b] != expected[b]) ++wrong;
            };
            // Two buffers in turn, as the miner's worker drives them.
            for (int round = 0; round < ROUNDS; ++round) {
                const int b = round % 2;
                if (round >= 2) collect(b);
                const unsigned blocks = 1 + static_cast<unsigned>(round + t) % 7;
                expected[b] = blocks * 64 * static_cast<unsigned>(device + 1);
                EXPECT_EQ(cudaMemsetAsync(d_count[b], 0, 4, s[b]), cudaSuccess);
                QTC_LAUNCH(k_add_word0, 64, blocks, 64, s[b], d_count[b]);
                EXPECT_EQ(cudaGetLastError(), cudaSuccess);
                EXPECT_EQ(cudaMemcpyAsync(h_count[b], d_count[b], 4, cudaMemcpyDeviceToHost, s[b]), cudaSuccess);
                EXPECT_EQ(cudaEventRecord(done[b], s[b]), cudaSuccess);
            }
            for (int b = 0; b < 2; ++b) {
                collect(b);
                EXPECT_EQ(cudaEventDestroy(done[b]), cudaSuccess);
                EXPECT_EQ(cudaFree(d_count[b]), cudaSuccess);
                EXPECT_EQ(cudaFreeHost(h_count[b]), cudaSuccess);
                EXPECT_EQ(cudaStreamDestroy(s[b]), cudaSuccess);
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---- The NVML stand-in -------------------------------------------------------------

namespace {

struct Nvml {
    Nvml() {
        library = dlopen("libnvidia-ml.so.1", RTLD_NOW);
        if (library == nullptr) return;
        init = reinterpret_cast<int (*)()>(dlsym(library, "nvmlInit_v2"));
        by_bus_id = reinterpret_cast<int (*)(const char*, void**)>(dlsym(library, "nvmlDeviceGetHandleByPciBusId_v2"));
        power = reinterpret_cast<int (*)(void*, unsigned*)>(dlsym(library, "nvmlDeviceGetPowerUsage"));
        limit = reinterpret_cast<int (*)(void*, unsigned*)>(dlsym(library, "nvmlDeviceGetEnforcedPowerLimit"));
        clock = reinterpret_cast<int (*)(void*, int, unsigned*)>(dlsym(library, "nvmlDeviceGetClockInfo"));
    }
    ~Nvml() {
        if (library) dlclose(library);
    }
    bool complete() const { return library && init && by_bus_id && power && limit && clock; }

    void* library = nullptr;
    int (*init)() = nullptr;
    int (*by_bus_id)(const char*, void**) = nullptr;
    int (*power)(void*, unsigned*) = nullptr;
    int (*limit)(void*, unsigned*) = nullptr;
    int (*clock)(void*, int, unsigned*) = nullptr;
};

}  // namespace

TEST(NvmlStandin, ReadsEachGpuByItsBusId) {
    Nvml nvml;
    ASSERT_TRUE(nvml.library) << "libnvidia-ml.so.1 not found through LD_LIBRARY_PATH: " << dlerror();
    ASSERT_TRUE(nvml.complete());
    setenv("VEZEZIRUZ_SIM_NVML", "0000:01:00.0,250000,300000,1980; 0000:02:00.0,-,200000,-;0001:0a:1f.7,1,-,2", 1);
    unsetenv("VEZEZIRUZ_SIM_NVML_INIT_FAIL");
    ASSERT_EQ(nvml.init(), 0);

    constexpr unsigned FAILS = ~0u;
    struct Case {
        const char* bus_id;
        bool found;
        unsigned power, limit, clock;
    };
    const Case cases[] = {
        {"0000:01:00.0", true, 250000, 300000, 1980},
        {"00000000:01:00.0", true, 250000, 300000, 1980},  // NVML's own form
        {"0000:02:00.0", true, FAILS, 200000, FAILS},
        {"0001:0A:1F.7", true, 1, FAILS, 2},
        {"0000:03:00.0", false, 0, 0, 0},
        {"not a bus id", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        void* handle = nullptr;
        ASSERT_EQ(nvml.by_bus_id(c.bus_id, &handle) == 0, c.found) << c.bus_id;
        if (!c.found) continue;
        const std::pair<unsigned, std::function<int(unsigned*)>> readings[] = {
            {c.power, [&](unsigned* v) { return nvml.power(handle, v); }},
            {c.limit, [&](unsigned* v) { return nvml.limit(handle, v); }},
            {c.clock, [&](unsigned* v) { return nvml.clock(handle, 1, v); }},
        };
        for (const auto& [expected, read] : readings) {
            unsigned value = 12345;
            if (expected == FAILS) {
                EXPECT_NE(read(&value), 0) << c.bus_id;
                EXPECT_EQ(value, 12345u) << c.bus_id;
            } else {
                EXPECT_EQ(read(&value), 0) << c.bus_id;
                EXPECT_EQ(value, expected) << c.bus_id;
            }
        }
        unsigned mhz = 0;
        EXPECT_NE(nvml.clock(handle, 0, &mhz), 0) << "only the SM clock";
    }
    unsigned value = 0;
    EXPECT_NE(nvml.power(nullptr, &value), 0);
    EXPECT_NE(nvml.power(reinterpret_cast<void*>(std::uintptr_t{99}), &value), 0);
}

TEST(NvmlStandin, InitialisationFailsOnRequestOrOnAMalformedList) {
    Nvml nvml;
    ASSERT_TRUE(nvml.complete()) << "libnvidia-ml.so.1 not found through LD_LIBRARY_PATH";
    struct Case {
        const char* readings;
        bool init_fail;
        bool ok;
    };
    const Case cases[] = {
        {"0000:01:00.0,1,2,3", false, true},
        {nullptr, false, true},
        {"0000:01:00.0,1,2,3", true, false},
        {"0000:01:00.0,1,2", false, false},
        {"0000:01:00.0,1,2,3,4", false, false},
        {"0000:01:00.0,1,x,3", false, false},
        {"01:00.0,1,2,3", false, false},
    };
    for (const Case& c : cases) {
        if (c.readings) setenv("VEZEZIRUZ_SIM_NVML", c.readings, 1);
        else unsetenv("VEZEZIRUZ_SIM_NVML");
        if (c.init_fail) setenv("VEZEZIRUZ_SIM_NVML_INIT_FAIL", "", 1);
        else unsetenv("VEZEZIRUZ_SIM_NVML_INIT_FAIL");
        EXPECT_EQ(nvml.init() == 0, c.ok) << (c.readings ? c.readings : "(unset)") << " " << c.init_fail;
    }
    unsetenv("VEZEZIRUZ_SIM_NVML_INIT_FAIL");
}
