// The kernel-less queries built against the real CUDA runtime.
#include "cuda/common.cpp"
