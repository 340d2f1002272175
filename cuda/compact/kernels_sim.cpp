// The compact kernels built as C++ against the CPU stand-in.
#include "cuda/compact/kernels.cu"
