#include "cuda/modules.hpp"

#include <iterator>

#include "cuda/common.hpp"
#include "kernel_module_headers.inc"

namespace {

// Every module of the list in cuda/CMakeLists.txt, in its order.
const QtcModule MODULES[] = {
#define QTC_KERNEL_MODULE(name, ns, Ctx, times) QTC_MODULE_ENTRY(ns, Ctx, #name, times),
#include "kernel_modules.inc"
#undef QTC_KERNEL_MODULE
};

// Every module's copy forwards these to the same kernel-less functions.
const QtcDeviceQueries DEVICE_QUERIES{
    qtc_host::device_count, qtc_host::device_describe, qtc_host::error_string, qtc_host::sm_count,
    qtc_host::pci_bus_id,   qtc_host::nvml_read,       qtc_compute_capability,
};

}  // namespace

const QtcDeviceQueries& qtc_device_queries() { return DEVICE_QUERIES; }

const QtcModule* qtc_module(int index) {
    return index >= 0 && index < static_cast<int>(std::size(MODULES)) ? &MODULES[index] : nullptr;
}

const QtcModule* qtc_module_named(std::string_view name) {
    for (const QtcModule& module : MODULES)
        if (name == module.name) return &module;
    return nullptr;
}
