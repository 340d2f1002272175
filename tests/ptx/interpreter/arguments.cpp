#include "tests/ptx/interpreter/arguments.hpp"

#include <string>

#include "tests/ptx/interpreter/error.hpp"

namespace ptx {

std::vector<std::uint8_t> lay_out_params(const Kernel& kernel, std::span<const Argument> arguments) {
    if (arguments.size() != kernel.params.size())
        throw Error(kernel.name + ": the host passes " + std::to_string(arguments.size()) + " arguments, the PTX declares " +
                    std::to_string(kernel.params.size()) + " parameters");
    std::vector<std::uint8_t> bytes(kernel.param_bytes, 0);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const Param& p = kernel.params[i];
        if (arguments[i].size != p.size)
            throw Error(kernel.name + ": argument " + std::to_string(i) + " has " + std::to_string(arguments[i].size) +
                        " bytes, the PTX parameter " + p.name + " " + std::to_string(p.size));
        std::memcpy(bytes.data() + p.offset, arguments[i].bytes.data(), p.size);
    }
    return bytes;
}

}  // namespace ptx
