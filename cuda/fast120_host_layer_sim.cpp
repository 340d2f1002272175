// The fast120 host layer built against the CPU stand-in.
#include "cuda/fast120_host_layer.cu"
