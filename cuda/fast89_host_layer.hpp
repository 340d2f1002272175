// The flat qtc_ interface of the fast89 kernel module, in qtcv::fast89.
#pragma once

#include "cuda/host_layer_api.hpp"

namespace qtcv {
inline namespace fast89 {
QTC_DECLARE_HOST_LAYER()
}  // namespace fast89
}  // namespace qtcv
