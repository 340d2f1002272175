#include "cuda/common.hpp"

#include <cstdio>
#include <dlfcn.h>

int qtc_compute_capability(int device, int* cc) {
    int major = 0, minor = 0;
    cudaError_t e = cudaDeviceGetAttribute(&major, cudaDevAttrComputeCapabilityMajor, device);
    if (e != cudaSuccess) return static_cast<int>(e);
    e = cudaDeviceGetAttribute(&minor, cudaDevAttrComputeCapabilityMinor, device);
    if (e != cudaSuccess) return static_cast<int>(e);
    *cc = 10 * major + minor;
    return 0;
}

int qtc_device_props(cudaDeviceProp* props, int device) {
    return static_cast<int>(cudaGetDeviceProperties(props, device));
}

namespace qtc_host {
namespace {

// NVML's C entry points; handles are opaque pointers and results 0 on success.
using NvmlInit = int (*)();
using NvmlHandleByBusId = int (*)(const char*, void**);
using NvmlPower = int (*)(void*, unsigned*);
using NvmlLimit = int (*)(void*, unsigned*);
using NvmlClock = int (*)(void*, int, unsigned*);

constexpr int NVML_CLOCK_SM = 1;

// Untried, then ready or unavailable for the life of the process. The miner
// reads NVML from its main thread only, so the first use does not race.
struct NvmlState {
    enum class Stage { untried, ready, unavailable } stage = Stage::untried;
    void* library = nullptr;
    NvmlHandleByBusId handle_by_bus_id = nullptr;
    NvmlPower power = nullptr;
    NvmlLimit limit = nullptr;
    NvmlClock clock = nullptr;
};

NvmlState& nvml() {
    static NvmlState state;
    return state;
}

bool nvml_ready() {
    NvmlState& s = nvml();
    if (s.stage != NvmlState::Stage::untried) return s.stage == NvmlState::Stage::ready;
    s.stage = NvmlState::Stage::unavailable;
    s.library = dlopen("libnvidia-ml.so.1", RTLD_NOW);
    if (s.library == nullptr) return false;
    auto init = reinterpret_cast<NvmlInit>(dlsym(s.library, "nvmlInit_v2"));
    s.handle_by_bus_id = reinterpret_cast<NvmlHandleByBusId>(dlsym(s.library, "nvmlDeviceGetHandleByPciBusId_v2"));
    s.power = reinterpret_cast<NvmlPower>(dlsym(s.library, "nvmlDeviceGetPowerUsage"));
    s.limit = reinterpret_cast<NvmlLimit>(dlsym(s.library, "nvmlDeviceGetEnforcedPowerLimit"));
    s.clock = reinterpret_cast<NvmlClock>(dlsym(s.library, "nvmlDeviceGetClockInfo"));
    if (!init || !s.handle_by_bus_id || !s.power || !s.limit || !s.clock || init() != 0) return false;
    s.stage = NvmlState::Stage::ready;
    return true;
}

}  // namespace

int device_count(int* count) { return static_cast<int>(cudaGetDeviceCount(count)); }

int device_describe(int device, char* text, int len) {
    cudaDeviceProp props{};
    const cudaError_t e = cudaGetDeviceProperties(&props, device);
    if (e != cudaSuccess) return static_cast<int>(e);
    if (len >= 1)
        std::snprintf(text, static_cast<std::size_t>(len), "%s (%d SM, cc %d.%d)", props.name,
                      props.multiProcessorCount, props.major, props.minor);
    return 0;
}

const char* error_string(int code) { return cudaGetErrorString(static_cast<cudaError_t>(code)); }

int sm_count(int device, int* count) {
    return static_cast<int>(cudaDeviceGetAttribute(count, cudaDevAttrMultiProcessorCount, device));
}

int pci_bus_id(int device, char* text, int len) { return static_cast<int>(cudaDeviceGetPCIBusId(text, len, device)); }

int nvml_read(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw, std::uint32_t* clock_mhz) {
    if (!nvml_ready()) return -1;
    const NvmlState& s = nvml();
    char bus_id[64];
    if (cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, device) != cudaSuccess) return -1;
    void* handle = nullptr;
    if (s.handle_by_bus_id(bus_id, &handle) != 0) return -1;
    unsigned power = 0, limit = 0, clock = 0;
    if (s.power(handle, &power) != 0) return -1;
    if (s.limit(handle, &limit) != 0) limit = 0;
    if (s.clock(handle, NVML_CLOCK_SM, &clock) != 0) clock = 0;
    *power_mw = power;
    *limit_mw = limit;
    *clock_mhz = clock;
    return 0;
}

}  // namespace qtc_host
