// The flat qtc_ interface of the fast86 kernel module, in qtcv::fast86.
#pragma once

#include "cuda/host_layer_api.hpp"

namespace qtcv {
inline namespace fast86 {
QTC_DECLARE_HOST_LAYER()
}  // namespace fast86
}  // namespace qtcv
