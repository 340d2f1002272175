// The hb89 module: its five kernels and its constant symbols, in the global
// namespace, and the launch bound of its mining kernels (in qtc_hb89, with
// the module's host copy), for the host layer that drives them.
#pragma once

#include <cstdint>

#include "cuda/portability.hpp"

namespace qtc_hb89 {

inline constexpr unsigned MINE_THREADS = 1024;
inline constexpr unsigned MINE_MIN_BLOCKS = 1;

// The same bound on every device: the module carries code for 8.9 only.
constexpr unsigned mine_thread_bound(int) { return MINE_THREADS; }

}  // namespace qtc_hb89

// The module has no gl32v10::Wk.
#define QTC_MODULE_WITHOUT_GL32V10
#define QTC_SHAPE_MINE_BOUNDS 1024, 1
#include "cuda/kernels/declarations.cuh"
#undef QTC_SHAPE_MINE_BOUNDS
#undef QTC_MODULE_WITHOUT_GL32V10
