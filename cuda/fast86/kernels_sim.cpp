// The fast86 kernels built as C++ against the CPU stand-in.
#include "cuda/fast86/kernels.cu"
