#include "cuda/modules.hpp"

#include "cuda/compact_host_layer.hpp"
#include "cuda/energy_host_layer.hpp"
#include "cuda/fast120_host_layer.hpp"
#include "cuda/fast86_host_layer.hpp"
#include "cuda/fast89_host_layer.hpp"
#include "cuda/hb89_host_layer.hpp"

namespace {

const QtcModule ENERGY = QTC_MODULE_ENTRY(qtcv_e, qtc_ctx, "energy", QTC_MODULE_TIMES(qtcv_e, qtc_ctx));
const QtcModule COMPACT = QTC_MODULE_ENTRY(qtcv_c, qtc_ctx, "compact", QTC_MODULE_TIMES(qtcv_c, qtc_ctx));
const QtcModule HB89 = QTC_MODULE_ENTRY(qtc_hb89, qtc_ctx_single_stream, "hb89", nullptr);
const QtcModule FAST89 = QTC_MODULE_ENTRY(qtcv::fast89, qtc_ctx, "fast89", QTC_MODULE_TIMES(qtcv::fast89, qtc_ctx));
const QtcModule FAST120 = QTC_MODULE_ENTRY(qtcv::fast120, qtc_ctx, "fast120", QTC_MODULE_TIMES(qtcv::fast120, qtc_ctx));
const QtcModule FAST86 = QTC_MODULE_ENTRY(qtcv::fast86, qtc_ctx, "fast86", QTC_MODULE_TIMES(qtcv::fast86, qtc_ctx));

const QtcDeviceQueries DEVICE_QUERIES{
    qtcv_e::qtc_device_count, qtcv_e::qtc_device_describe, qtcv_e::qtc_error_string, qtcv_e::qtc_sm_count,
    qtcv_e::qtc_pci_bus_id,   qtcv_e::qtc_nvml_read,       qtc_compute_capability,
};

}  // namespace

const QtcDeviceQueries& qtc_device_queries() { return DEVICE_QUERIES; }

const QtcModule* qtc_module(int kind) {
    switch (kind) {
        case 0:
            return &ENERGY;
        case 1:
            return &COMPACT;
        case 2:
            return &HB89;
        case 3:
            return &FAST89;
        case 4:
            return &FAST120;
        case 5:
            return &FAST86;
        default:
            return nullptr;
    }
}
