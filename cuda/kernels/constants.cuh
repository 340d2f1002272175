// The constant symbols of a kernel module in declaration order, with their
// initial values: the knob words, the host's round constant and diagonal
// tables, the folded tables where QTC_MODULE_FOLDED is set (both generated
// at build time, cuda/tables), then the job's target and start state.
// Included inside the module's namespace, after
// cuda/kernels/module_constant.hpp; no include guard.

#include "cuda/kernels/knob_words.cuh"
#include "host_tables.cuh"
#if defined(QTC_MODULE_FOLDED)
#include "folded_tables.cuh"
#endif
#include "cuda/kernels/job_symbols.cuh"
