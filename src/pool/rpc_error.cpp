#include "src/pool/rpc_error.hpp"

#include <fmt/format.h>

#include "src/ui/console_safe.hpp"

std::string rpc_error_fmt(const RpcError& error) {
    struct Display {
        std::string operator()(const RpcPoolError& e) const {
            return fmt::format("RPC {}: {}", e.code, pool_text_cut(e.message));
        }
        std::string operator()(const NetworkError& e) const { return fmt::format("network: {}", e.text); }
        std::string operator()(const UnsignedJobError& e) const { return fmt::format("unsigned job: {}", e.text); }
    };
    return std::visit(Display{}, error);
}
