// The knob words of a kernel module, with their initial value. Included
// inside the module's namespace (or at global scope), after
// cuda/kernels/module_constant.hpp; QTC_MODULE_WITHOUT_GL32V10 leaves out
// gl32v10::Wk. No include guard.

// Knob words: ε for the reductions, read from constant memory so that the
// code generator cannot fold it into an immediate. Which of them a module
// reads depends on its reductions; gl32::Wk is read by none.
namespace gl32 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
namespace gl32v7 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
#if !defined(QTC_MODULE_WITHOUT_GL32V10)
namespace gl32v10 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
#endif
namespace qp6 {
QTC_MODULE_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
