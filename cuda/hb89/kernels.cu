// The hb89 kernels, in the global namespace: ε-multiply product reduction
// with the carry added separately, the internal-round sum as a pairwise tree
// and reduced, round loops kept rolled, 1,024 threads per mining block. Its
// constants come in their own order: the host tables, the job's symbols,
// then the knob words without gl32v10::Wk. g++ builds this file as C++
// through ovik_hb89_sim.
#include "cuda/hb89/kernels.hpp"
#include "cuda/kernels/module_constant.hpp"

#define QTC_MODULE_WITHOUT_GL32V10
#include "host_tables.cuh"
#include "cuda/kernels/job_symbols.cuh"
#include "cuda/kernels/knob_words.cuh"
#undef QTC_MODULE_WITHOUT_GL32V10

// After the constants: under nvcc they must be defined before any use.
#include "cuda/hb89/arith.hpp"

#define QTC_SHAPE_MINE_BOUNDS 1024, 1
#define QTC_SHAPE_ROUND_LOOP QTC_ROLLED
#define QTC_SHAPE_SUM_TREE 1
#include "cuda/kernels/kernel_shape.cuh"
