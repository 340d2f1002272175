// A stand-in for the five NVML entry points the miner opens at run time.
// Readings per GPU come from VEZEZIRUZ_SIM_NVML, read at each nvmlInit_v2:
// "bus id,power mW,limit mW,SM clock MHz" entries separated by ";", where a
// reading written "-" fails. VEZEZIRUZ_SIM_NVML_INIT_FAIL present makes the
// initialisation fail.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/env_list.hpp"
#include "sim/pci_bus_id.hpp"

#define NVML_STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// NVML's return codes.
enum : int {
    NVML_SUCCESS = 0,
    NVML_ERROR_UNINITIALIZED = 1,
    NVML_ERROR_INVALID_ARGUMENT = 2,
    NVML_ERROR_NOT_SUPPORTED = 3,
    NVML_ERROR_NOT_FOUND = 6,
    NVML_ERROR_DRIVER_NOT_LOADED = 9,
    NVML_ERROR_UNKNOWN = 999,
};
constexpr int NVML_CLOCK_SM = 1;

struct Gpu {
    sim::PciAddress address;
    std::optional<unsigned> power, limit, clock;
};

std::mutex mutex;
bool initialised = false;
std::vector<Gpu> gpus;

// Only spaces may stand around a field here, not tabs.
constexpr std::string_view BLANKS = " ";

// A reading, or "-" for one that fails.
bool parse_reading(std::string_view text, std::optional<unsigned>& out) {
    text = sim::trim(text, BLANKS);
    if (text == "-") {
        out.reset();
        return true;
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return false;
    out = value;
    return true;
}

std::optional<Gpu> parse_gpu(std::string_view entry) {
    std::string_view fields[4];
    for (int i = 0; i < 4; ++i) {
        const auto comma = entry.find(',');
        if ((comma == std::string_view::npos) != (i == 3)) return std::nullopt;
        fields[i] = entry.substr(0, comma);
        if (comma != std::string_view::npos) entry.remove_prefix(comma + 1);
    }
    const auto address = sim::parse_pci_bus_id(sim::trim(fields[0], BLANKS));
    Gpu gpu{};
    if (!address || !parse_reading(fields[1], gpu.power) || !parse_reading(fields[2], gpu.limit) ||
        !parse_reading(fields[3], gpu.clock))
        return std::nullopt;
    gpu.address = *address;
    return gpu;
}

bool read_gpus(std::vector<Gpu>& out) {
    const char* text = std::getenv("VEZEZIRUZ_SIM_NVML");
    std::string_view rest = text ? text : "";
    while (!rest.empty()) {
        const std::string_view entry = sim::take_entry(rest);
        if (sim::trim(entry, BLANKS).empty()) continue;
        const auto gpu = parse_gpu(entry);
        if (!gpu) {
            std::fprintf(stderr, "nvml stand-in: VEZEZIRUZ_SIM_NVML: malformed entry \"%.*s\"\n",
                         static_cast<int>(entry.size()), entry.data());
            return false;
        }
        out.push_back(*gpu);
    }
    return true;
}

// Handles are 1 + the GPU's index, not pointers into the table that a
// later nvmlInit_v2 replaces.
const Gpu* find(void* handle) {
    const auto index = reinterpret_cast<std::uintptr_t>(handle);
    if (index == 0 || index > gpus.size()) return nullptr;
    return &gpus[index - 1];
}

int reading(void* handle, unsigned* out, std::optional<unsigned> Gpu::*field) {
    std::lock_guard lock(mutex);
    if (!initialised) return NVML_ERROR_UNINITIALIZED;
    const Gpu* gpu = find(handle);
    if (gpu == nullptr || out == nullptr) return NVML_ERROR_INVALID_ARGUMENT;
    const auto& value = gpu->*field;
    if (!value) return NVML_ERROR_NOT_SUPPORTED;
    *out = *value;
    return NVML_SUCCESS;
}

}  // namespace

NVML_STANDIN_EXPORT int nvmlInit_v2() {
    std::lock_guard lock(mutex);
    if (std::getenv("VEZEZIRUZ_SIM_NVML_INIT_FAIL") != nullptr) return NVML_ERROR_DRIVER_NOT_LOADED;
    std::vector<Gpu> read;
    if (!read_gpus(read)) return NVML_ERROR_UNKNOWN;
    gpus = std::move(read);
    initialised = true;
    return NVML_SUCCESS;
}

NVML_STANDIN_EXPORT int nvmlDeviceGetHandleByPciBusId_v2(const char* bus_id, void** handle) {
    std::lock_guard lock(mutex);
    if (!initialised) return NVML_ERROR_UNINITIALIZED;
    if (bus_id == nullptr || handle == nullptr) return NVML_ERROR_INVALID_ARGUMENT;
    const auto address = sim::parse_pci_bus_id(bus_id);
    if (!address) return NVML_ERROR_INVALID_ARGUMENT;
    for (std::size_t i = 0; i < gpus.size(); ++i) {
        if (gpus[i].address == *address) {
            *handle = reinterpret_cast<void*>(static_cast<std::uintptr_t>(i + 1));
            return NVML_SUCCESS;
        }
    }
    return NVML_ERROR_NOT_FOUND;
}

NVML_STANDIN_EXPORT int nvmlDeviceGetPowerUsage(void* handle, unsigned* milliwatts) {
    return reading(handle, milliwatts, &Gpu::power);
}

NVML_STANDIN_EXPORT int nvmlDeviceGetEnforcedPowerLimit(void* handle, unsigned* milliwatts) {
    return reading(handle, milliwatts, &Gpu::limit);
}

// Only the SM clock is simulated.
NVML_STANDIN_EXPORT int nvmlDeviceGetClockInfo(void* handle, int type, unsigned* mhz) {
    if (type != NVML_CLOCK_SM) return NVML_ERROR_NOT_SUPPORTED;
    return reading(handle, mhz, &Gpu::clock);
}
