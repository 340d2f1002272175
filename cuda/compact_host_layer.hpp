// The flat qtc_ interface of the compact kernel module.
#pragma once

#include "cuda/host_layer_api.hpp"

namespace qtcv_c {
QTC_DECLARE_HOST_LAYER()
}  // namespace qtcv_c
