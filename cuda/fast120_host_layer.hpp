// The flat qtc_ interface of the fast120 kernel module, in qtcv::fast120.
#pragma once

#include "cuda/host_layer_api.hpp"

namespace qtcv {
inline namespace fast120 {
QTC_DECLARE_HOST_LAYER()
}  // namespace fast120
}  // namespace qtcv
