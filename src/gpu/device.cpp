#include "src/gpu/device.hpp"

#include <cstring>

#include "cuda/modules.hpp"
#include "src/base/unicode.hpp"

Result<int> gpu_device_count() {
    int count = 0;
    const QtcDeviceQueries& q = qtc_device_queries();
    if (const int rc = q.device_count(&count); rc != 0)
        return fail("cudaGetDeviceCount: {}", cstr_to_string(q.error_string(rc)));
    return count;
}

Result<int> gpu_compute_capability(int device) {
    int cc = 0;
    if (const int rc = qtc_device_queries().compute_capability(device, &cc); rc != 0)
        return fail("CUDA capability query failed: {}", rc);
    return cc;
}

Result<std::string> gpu_device_name(int device) {
    char text[256] = {};
    if (const int rc = qtc_device_queries().device_describe(device, text, sizeof text); rc != 0)
        return fail("cudaGetDeviceProperties({}): {}", device, cstr_to_string(qtc_device_queries().error_string(rc)));
    return cstr_to_string(text);
}

Result<int> gpu_sm_count(int device) {
    int count = 0;
    const int rc = qtc_device_queries().sm_count(device, &count);
    if (rc != 0 || count < 1)
        return fail("cudaDeviceGetAttribute(SM, {}): {}", device, cstr_to_string(qtc_device_queries().error_string(rc)));
    return count;
}

std::optional<std::string> gpu_pci_bus_id(int device) {
    char bus[64] = {};
    if (qtc_device_queries().pci_bus_id(device, bus, sizeof bus) != 0) return std::nullopt;
    return cstr_to_string(bus);
}

int gpu_nvml_read(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw, std::uint32_t* clock_mhz) {
    return qtc_device_queries().nvml_read(device, power_mw, limit_mw, clock_mhz);
}

std::string cstr_to_string(const char* text) {
    if (text == nullptr) return "?";
    return utf8_lossy(std::string_view(text, std::strlen(text)));
}
