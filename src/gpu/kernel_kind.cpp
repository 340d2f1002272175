#include "src/gpu/kernel_kind.hpp"

#include <string>

#include "src/base/unicode.hpp"

std::string_view kernel_name(KernelKind kind) {
    switch (kind) {
        case KernelKind::energy:
            return "energy";
        case KernelKind::compact:
            return "compact";
        case KernelKind::hb89:
            return "hb89";
        case KernelKind::fast89:
            return "fast89";
        case KernelKind::fast120:
            return "fast120";
        case KernelKind::fast86:
            return "fast86";
        case KernelKind::none:
            break;
    }
    return "none";
}

KernelKind parse_kernel_name(std::string_view text) {
    std::string name(trim_white_space(text));
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (name == "e" || name == "energy") return KernelKind::energy;
    if (name == "c" || name == "compact") return KernelKind::compact;
    for (KernelKind kind : {KernelKind::hb89, KernelKind::fast89, KernelKind::fast120, KernelKind::fast86})
        if (name == kernel_name(kind)) return kind;
    return KernelKind::none;
}
