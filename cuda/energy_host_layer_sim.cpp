// The energy host layer built against the CPU stand-in.
#include "cuda/energy_host_layer.cu"
