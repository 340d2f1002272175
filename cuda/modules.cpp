#include "cuda/modules.hpp"

#include "cuda/compact_host_layer.hpp"
#include "cuda/energy_host_layer.hpp"
#include "cuda/hb89_host_layer.hpp"

namespace {

const QtcModule ENERGY = QTC_MODULE_ENTRY(qtcv_e, qtc_ctx, "energy", QTC_MODULE_TIMES(qtcv_e, qtc_ctx));
const QtcModule COMPACT = QTC_MODULE_ENTRY(qtcv_c, qtc_ctx, "compact", QTC_MODULE_TIMES(qtcv_c, qtc_ctx));
const QtcModule HB89 = QTC_MODULE_ENTRY(qtc_hb89, qtc_ctx_single_stream, "hb89", nullptr);

}  // namespace

const QtcModule* qtc_module(int kind) {
    switch (kind) {
        case 0:
            return &ENERGY;
        case 1:
            return &COMPACT;
        case 2:
            return &HB89;
        default:
            return nullptr;  // not built yet
    }
}
