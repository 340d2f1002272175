// The fast86 host layer built against the CPU stand-in.
#include "cuda/fast86_host_layer.cu"
