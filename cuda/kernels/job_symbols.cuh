// The job's target and start state, written by the host layer. Included
// inside the module's namespace (or at global scope), after
// cuda/kernels/module_constant.hpp; no include guard.

QTC_CONSTANT(std::uint8_t, c_tgt, 64);
QTC_CONSTANT(std::uint64_t, c_mm, 12);
