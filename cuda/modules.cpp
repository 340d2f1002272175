#include "cuda/modules.hpp"

#include "cuda/energy_host_layer.hpp"

namespace {

const QtcModule ENERGY = QTC_MODULE_ENTRY(qtcv_e, qtc_ctx, "energy", QTC_MODULE_TIMES(qtcv_e, qtc_ctx));

}  // namespace

const QtcModule* qtc_module(int kind) {
    switch (kind) {
        case 0:
            return &ENERGY;
        default:
            return nullptr;  // not built yet
    }
}
