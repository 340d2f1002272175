// The table of kernel modules over the real modules: the same source, built
// by nvcc so that the host layer's headers see the CUDA runtime.
#include "cuda/modules.cpp"
