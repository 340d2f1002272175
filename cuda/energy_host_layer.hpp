// The flat qtc_ interface of the energy kernel module.
#pragma once

#include "cuda/host_layer_api.hpp"

namespace qtcv_e {
QTC_DECLARE_HOST_LAYER()
}  // namespace qtcv_e
