// Constant symbols with their initial value in the module image; on the
// stand-in every device's copy starts with it.
#pragma once

#include <cstddef>

#include "cuda/portability.hpp"

#if defined(__CUDACC__)
#define QTC_MODULE_CONSTANT(type, name, count, ...) __constant__ type name[count] = {__VA_ARGS__}
#else
namespace qtc_forms {
template <typename T, std::size_t N>
constexpr ::sim::DeviceConstant<T, N> on_every_device(const T (&values)[N]) {
    ::sim::DeviceConstant<T, N> symbol{};
    for (auto& copy : symbol.storage)
        for (std::size_t i = 0; i < N; ++i) copy[i] = values[i];
    return symbol;
}
}  // namespace qtc_forms
#define QTC_MODULE_CONSTANT(type, name, count, ...) \
    constinit ::sim::DeviceConstant<type, count> name = ::qtc_forms::on_every_device<type, count>({__VA_ARGS__})
#endif
