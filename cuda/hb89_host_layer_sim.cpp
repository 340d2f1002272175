// The hb89 host layer built against the CPU stand-in.
#include "cuda/hb89_host_layer.cu"
