// The fast89 kernels built as C++ against the CPU stand-in.
#include "cuda/fast89/kernels.cu"
