// The queries of a CUDA device that need no context: count, label,
// multiprocessors, compute capability, PCI bus id and the NVML reading.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "src/base/error.hpp"

// The number of CUDA devices; fails with "cudaGetDeviceCount: {runtime
// text}" (no driver, a driver older than the runtime).
Result<int> gpu_device_count();

// The compute capability, 10 × major + minor; fails with "CUDA capability
// query failed: {host-layer result}".
Result<int> gpu_compute_capability(int device);

// The device label, "name (N SM, cc M.m)".
Result<std::string> gpu_device_name(int device);

// The multiprocessor count, at least 1.
Result<int> gpu_sm_count(int device);

// The PCI bus id, none when the runtime cannot tell it.
std::optional<std::string> gpu_pci_bus_id(int device);

// NVML's power draw and enforced limit (mW) and SM clock (MHz); 0 on
// success, the reading left as it was otherwise.
int gpu_nvml_read(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw, std::uint32_t* clock_mhz);

// The text up to the first NUL, invalid UTF-8 replaced by U+FFFD; "?" for null.
std::string cstr_to_string(const char* text);
