// The flat qtc_ interface of the hb89 kernel module, on the single-stream
// record, in a namespace of its own; the module's kernels and constants are
// global.
#pragma once

#include "cuda/host_layer_api.hpp"

namespace qtc_hb89 {
QTC_DECLARE_SINGLE_STREAM_HOST_LAYER()
}  // namespace qtc_hb89
