// The fast89 host layer built against the CPU stand-in.
#include "cuda/fast89_host_layer.cu"
