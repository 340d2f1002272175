// A kernel's arguments as the host passes them, laid out in its parameter
// space as the kernel's .param list declares it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "tests/ptx/interpreter/program.hpp"

namespace ptx {

struct Argument {
    std::array<std::uint8_t, 8> bytes{};
    std::uint8_t size = 0;
    bool pointer = false;
    std::uintptr_t address = 0;  // a pointer's value

    template <typename T>
    static Argument of(T value) {
        static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= 8);
        Argument a;
        std::memcpy(a.bytes.data(), &value, sizeof(T));
        a.size = sizeof(T);
        if constexpr (std::is_pointer_v<T>) {
            a.pointer = true;
            a.address = reinterpret_cast<std::uintptr_t>(value);
        }
        return a;
    }
};

// The parameter bytes of `kernel` for `arguments`; throws ptx::Error when
// their number or any size differs from the kernel's parameters.
std::vector<std::uint8_t> lay_out_params(const Kernel& kernel, std::span<const Argument> arguments);

}  // namespace ptx
