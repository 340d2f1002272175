// The energy kernels built as C++ against the CPU stand-in.
#include "cuda/energy/kernels.cu"
