// The fast89 module: its five kernels, its constant symbols and the launch
// bound of its mining kernels, for the host layer that drives them. Its
// kernels and constants are in qtcv, like those of the other modules of
// that namespace; the inline namespace qtcv::fast89 keeps the modules
// apart when one program links them all (the CPU stand-in, the tests).
#pragma once

#include <cstdint>

#include "cuda/portability.hpp"

namespace qtcv {
inline namespace fast89 {

inline constexpr unsigned MINE_THREADS = 128;
inline constexpr unsigned MINE_MIN_BLOCKS = 7;

// The same bound on every device: the module carries code for 8.9 only.
constexpr unsigned mine_thread_bound(int) { return MINE_THREADS; }

#define QTC_MODULE_FOLDED
#define QTC_SHAPE_MINE_BOUNDS 128, 7
#include "cuda/kernels/declarations.cuh"
#undef QTC_SHAPE_MINE_BOUNDS
#undef QTC_MODULE_FOLDED

}  // namespace fast89
}  // namespace qtcv
