#include "src/gpu/kernel_kind.hpp"

#include "src/base/unicode.hpp"

std::string_view kernel_name(KernelKind kind) {
    if (kind == KernelKind::none) return "none";
    return kernel_variant(kind).name;
}

KernelKind parse_kernel_name(std::string_view text) {
    std::string name(trim_white_space(text));
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const KernelVariant& variant : KERNEL_VARIANTS)
        if (name == variant.name || (!variant.alias.empty() && name == variant.alias)) return variant.kind;
    return KernelKind::none;
}

std::string kernel_name_list() {
    std::string list;
    for (std::size_t i = 0; i < KERNEL_VARIANT_COUNT; ++i) {
        if (i > 0) list += i + 1 == KERNEL_VARIANT_COUNT ? " or " : ", ";
        list += KERNEL_VARIANTS[i].name;
    }
    return list;
}
