// The hb89 kernels built as C++ against the CPU stand-in.
#include "cuda/hb89/kernels.cu"
