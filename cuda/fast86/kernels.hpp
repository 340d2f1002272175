// The fast86 module: its five kernels, its constant symbols and the launch
// bound of its mining kernels, for the host layer that drives them. Its
// kernels and constants are in qtcv, like those of the other modules of
// that namespace; the inline namespace qtcv::fast86 keeps the modules
// apart when one program links them all (the CPU stand-in, the tests).
#pragma once

#include <cstdint>

#include "cuda/portability.hpp"

namespace qtcv {
inline namespace fast86 {

inline constexpr unsigned MINE_THREADS = 256;
inline constexpr unsigned MINE_MIN_BLOCKS = 3;

// The same bound on every device: the module carries code for 8.6 only.
constexpr unsigned mine_thread_bound(int) { return MINE_THREADS; }

#define QTC_MODULE_FOLDED
#define QTC_SHAPE_MINE_BOUNDS 256, 3
#include "cuda/kernels/declarations.cuh"
#undef QTC_SHAPE_MINE_BOUNDS
#undef QTC_MODULE_FOLDED

}  // namespace fast86
}  // namespace qtcv
