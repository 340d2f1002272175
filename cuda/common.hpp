// The kernel-less part of the GPU host layer: device queries that need no
// kernel module, and the NVML readings.
#pragma once

#include <cstdint>

#include "cuda/portability.hpp"

// 10 × major + minor; 0, or the code of the first failing attribute query
// (cc untouched).
int qtc_compute_capability(int device, int* cc);

int qtc_device_props(cudaDeviceProp* props, int device);

namespace qtc_host {

int device_count(int* count);

// "%s (%d SM, cc %d.%d)" cut to len − 1 characters; the buffer is untouched
// on failure.
int device_describe(int device, char* text, int len);

const char* error_string(int code);
int sm_count(int device, int* count);
int pci_bus_id(int device, char* text, int len);

// Power draw, enforced limit (mW) and SM clock (MHz) through NVML, opened
// with dlopen on first use; −1 when NVML is unavailable or a required
// reading fails (outputs untouched). A missing limit or clock reads 0.
int nvml_read(int device, std::uint32_t* power_mw, std::uint32_t* limit_mw, std::uint32_t* clock_mhz);

}  // namespace qtc_host
