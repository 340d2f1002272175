// The CPU stand-in for the part of the CUDA runtime API that the GPU host
// layer uses, written from the runtime's documented behaviour. Devices are
// simulated in host memory; kernels run as plain C++ on a thread pool.
//
// Devices come from VEZEZIRUZ_SIM_DEVICES: entries separated by ";", each
// "name,multiprocessors,compute capability (e.g. 90),PCI bus id"; absent,
// one small device "Simulated GPU,2,90,0000:01:00.0". The list is read once
// per process (see sim::reload_devices). An empty list means no device
// (cudaErrorNoDevice from every call); a malformed one, or more than
// sim::MAX_DEVICES entries, gives cudaErrorInitializationError.
//
// Faults for a whole process come from VEZEZIRUZ_SIM_FAIL, read once when
// the stand-in first initialises: entries separated by ";", each
// "function@n:code", e.g. "cudaEventSynchronize@40:719" fails the 40th call
// of cudaEventSynchronize with error 719, as sim::fail_call does;
// "function@n:hold=ms" makes the n-th call wait ms milliseconds first, as
// sim::hold_call does (a driver call that hangs). A malformed value arms
// nothing and says so on standard error.
//
// Each stream, and each device's null stream, runs its work in order on a
// thread of its own; streams never wait for each other, so the null stream
// behaves like one more non-blocking stream. cudaFree and cudaFreeHost wait
// for the work already enqueued, as the runtime's implicit synchronisation
// does. A failing call, fault or not, also sets the calling thread's last
// error, which a later cudaGetLastError returns even after calls that
// succeeded.
//
// Memory is host memory. Copies and memsets refuse (invalid value) a device
// side that does not lie inside one cudaMalloc allocation; new allocations
// hold a non-zero fill, never zeros. A launch, cudaEventRecord and
// cudaEventElapsedTime refuse (invalid resource handle) a stream or event of
// another device.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// ---- Types and constants, with the runtime's values -----------------------

enum cudaError_t : int {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,             // "invalid argument"
    cudaErrorMemoryAllocation = 2,         // "out of memory"
    cudaErrorInitializationError = 3,      // "initialization error"
    cudaErrorInvalidConfiguration = 9,     // "invalid configuration argument"
    cudaErrorInvalidDevicePointer = 17,    // "invalid device pointer"
    cudaErrorInvalidMemcpyDirection = 21,  // "invalid copy direction for memcpy"
    cudaErrorInsufficientDriver = 35,      // "CUDA driver version is insufficient for CUDA runtime version"
    cudaErrorNoDevice = 100,               // "no CUDA-capable device is detected"
    cudaErrorInvalidDevice = 101,          // "invalid device ordinal"
    cudaErrorInvalidResourceHandle = 400,  // "invalid resource handle"
    cudaErrorNotReady = 600,               // "device not ready"
    cudaErrorLaunchOutOfResources = 701,   // "too many resources requested for launch"
    cudaErrorLaunchFailure = 719,          // "unspecified launch failure"
    cudaErrorUnknown = 999,                // "unknown error"
};

struct CUstream_st;
struct CUevent_st;
using cudaStream_t = CUstream_st*;
using cudaEvent_t = CUevent_st*;

enum cudaMemcpyKind : int {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

enum cudaDeviceAttr : int {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrMultiProcessorCount = 16,
    cudaDevAttrComputeCapabilityMajor = 75,
    cudaDevAttrComputeCapabilityMinor = 76,
};

inline constexpr unsigned cudaDeviceScheduleBlockingSync = 4;
inline constexpr unsigned cudaStreamNonBlocking = 1;
inline constexpr unsigned cudaEventDefault = 0;
inline constexpr unsigned cudaEventBlockingSync = 1;
inline constexpr unsigned cudaEventDisableTiming = 2;
inline constexpr unsigned cudaHostAllocDefault = 0;

// The fields of the runtime's device-properties record that this program
// reads; the real record has many more.
struct cudaDeviceProp {
    char name[256];
    int multiProcessorCount;
    int major;
    int minor;
    int maxThreadsPerBlock;
    std::size_t totalGlobalMem;
    int pciBusID;
    int pciDeviceID;
    int pciDomainID;
};

struct dim3 {
    unsigned x = 1, y = 1, z = 1;
    constexpr dim3(unsigned vx = 1, unsigned vy = 1, unsigned vz = 1) : x(vx), y(vy), z(vz) {}
};

// ---- The runtime functions -------------------------------------------------

const char* cudaGetErrorString(cudaError_t error);
cudaError_t cudaGetLastError();   // returns and clears the calling thread's last error
cudaError_t cudaPeekAtLastError();

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaSetDeviceFlags(unsigned flags);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
cudaError_t cudaDeviceGetPCIBusId(char* pci_bus_id, int len, int device);
cudaError_t cudaDeviceSynchronize();

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned flags);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);

cudaError_t cudaMalloc(void** ptr, std::size_t size);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaHostAlloc(void** ptr, std::size_t size, unsigned flags);
cudaError_t cudaFreeHost(void* ptr);

cudaError_t cudaMemsetAsync(void* dst, int value, std::size_t count, cudaStream_t stream = nullptr);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);

cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned flags);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);

namespace sim {

// ---- Constant memory: one copy per device ----------------------------------

int current_device();  // host thread: its cudaSetDevice; kernel thread: the launch's device

inline constexpr int MAX_DEVICES = 16;

template <typename T, std::size_t N>
struct DeviceConstant {
    T storage[MAX_DEVICES][N];
    T& operator[](std::size_t i) { return storage[current_device()][i]; }
    const T& operator[](std::size_t i) const { return storage[current_device()][i]; }
    T* data() { return storage[current_device()]; }
};

// Enqueues a copy into the calling thread's device's copy of the symbol.
cudaError_t memcpy_to_symbol_async(void* device_copy, std::size_t symbol_size, const void* src, std::size_t count,
                                   std::size_t offset, cudaStream_t stream);
// The same with the copy's kind, which must be host to device, device to
// device (then `src` must lie in device memory) or default.
cudaError_t memcpy_to_symbol_async(void* device_copy, std::size_t symbol_size, const void* src, std::size_t count,
                                   std::size_t offset, cudaMemcpyKind kind, cudaStream_t stream);

// ---- Kernel launches -------------------------------------------------------

struct ThreadCoordinates {
    dim3 thread_idx, block_idx, block_dim, grid_dim;
};
extern thread_local constinit ThreadCoordinates coordinates;

// Enqueues `body` to run once per simulated thread of the grid, with
// `coordinates` set, on the launch's device. Refuses (through the last
// error, as the runtime does) an empty grid or block, more threads per
// block than the device allows or than `launch_bound` (0: no bound), and a
// stream of another device than the calling thread's.
void launch(const char* kernel_name, unsigned launch_bound, dim3 grid, dim3 block, cudaStream_t stream,
            std::function<void()> body);

// ---- Test controls ---------------------------------------------------------

// Makes the n-th call (from 1, counted from now) of the named runtime
// function, e.g. "cudaMalloc", fail with `error` without doing anything.
// Symbol copies are "cudaMemcpyToSymbolAsync"; "launch" refuses a kernel
// launch through the last error. A fault on cudaGetLastError or
// cudaPeekAtLastError returns its code and leaves the recorded error alone.
void fail_call(const std::string& function, int nth, cudaError_t error);

// Makes the n-th call of the named runtime function wait `hold` before it
// runs as usual: a driver call that takes long, or hangs.
void hold_call(const std::string& function, int nth, std::chrono::milliseconds hold);

// The same for each "function@n:code" and "function@n:hold=ms" entry of
// `text` (separated by ";"), the format of VEZEZIRUZ_SIM_FAIL; false,
// arming nothing, when an entry is malformed or there is none.
bool fail_calls(std::string_view text);

// Flips the lowest bit of byte `byte` in what the n-th device-to-host copy of
// exactly `count` bytes (from 1, counted from now) delivers: a kernel result
// gone wrong on its way to the host.
void corrupt_copy_to_host(std::size_t count, int nth, std::size_t byte);

// Drops every pending fault and corruption.
void clear_faults();

// Reads VEZEZIRUZ_SIM_DEVICES again, for tests that change it. Call only
// while no stream, event or allocation is alive.
void reload_devices();

// The device allocation that holds `p`: its first byte and its size; a
// null start and size 0 when `p` lies in none. For the kernels that run
// outside plain C++ (the PTX interpreter of the tests), which reach only the
// buffers their pointer arguments lie in.
struct AllocationRange {
    const void* start;
    std::size_t size;
};
AllocationRange allocation_holding(const void* p);

// Objects currently alive (streams, events, device and pinned allocations).
struct LiveObjects {
    std::size_t streams, events, device_allocations, host_allocations;
};
LiveObjects live_objects();

}  // namespace sim

template <typename T, std::size_t N>
cudaError_t cudaMemcpyToSymbolAsync(sim::DeviceConstant<T, N>& symbol, const void* src, std::size_t count,
                                    std::size_t offset = 0, cudaMemcpyKind kind = cudaMemcpyHostToDevice,
                                    cudaStream_t stream = nullptr) {
    return sim::memcpy_to_symbol_async(symbol.data(), sizeof(T) * N, src, count, offset, kind, stream);
}
