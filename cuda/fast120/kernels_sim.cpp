// The fast120 kernels built as C++ against the CPU stand-in.
#include "cuda/fast120/kernels.cu"
