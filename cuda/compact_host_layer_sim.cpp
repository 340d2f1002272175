// The compact host layer built against the CPU stand-in.
#include "cuda/compact_host_layer.cu"
