// The compact module: its five kernels, its constant symbols and the launch
// bound of its mining kernels, for the host layer that drives them.
#pragma once

#include <cstdint>

#include "cuda/portability.hpp"

namespace qtcv_c {

inline constexpr unsigned MINE_THREADS = 256;
inline constexpr unsigned MINE_MIN_BLOCKS = 3;

// The same bound on every device: the module carries no code for 12.x.
constexpr unsigned mine_thread_bound(int) { return MINE_THREADS; }

#define QTC_SHAPE_MINE_BOUNDS 256, 3
#include "cuda/kernels/declarations.cuh"
#undef QTC_SHAPE_MINE_BOUNDS

}  // namespace qtcv_c
