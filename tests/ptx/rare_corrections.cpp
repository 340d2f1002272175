#include "tests/ptx/rare_corrections.hpp"

#include <algorithm>

namespace ptx_corrections {
namespace {

constexpr Correction CORRECTIONS[] = {
    {"subtractive_borrow", "reduce_subtractive", ".reg .u32 s, xh, y0, y1, m;", "subc.u32 m, 0, 0;", "mov.u32 m, 0;"},
    {"eps_carry_added_borrow", "reduce_eps_carry_added", ".reg .u32 l0, l1, xh, y0, y1, m;", "subc.u32 m, 0, 0;",
     "mov.u32 m, 0;"},
    {"eps_carry_fused_borrow", "reduce_eps_carry_fused", ".reg .u32 l0, l1, xh, z, m;", "subc.u32 m, 0, 0;",
     "mov.u32 m, 0;"},
    {"qp6_second_carry", "reduce", ".reg .u32 t0, t1, c;", "addc.u32 c, 0, 0;", "mov.u32 c, 0;"},
};

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

}  // namespace

std::span<const Correction> rare_corrections() { return CORRECTIONS; }

Cut cut_out(std::string_view ptx, const Correction& correction) {
    Cut cut;
    bool inside = false;  // the correction's asm statement, from its .reg line
    for (std::size_t start = 0; start < ptx.size();) {
        const std::size_t end = std::min(ptx.find('\n', start), ptx.size());
        const std::string_view line = ptx.substr(start, end - start);
        const std::string_view text = trimmed(line);
        if (text == correction.registers) inside = true;
        if (text == "}") inside = false;
        if (inside && text == correction.line) {
            cut.text += line.substr(0, line.find(text));
            cut.text += correction.cut;
            ++cut.lines;
        } else {
            cut.text += line;
        }
        if (end < ptx.size()) cut.text += '\n';
        start = end + 1;
    }
    return cut;
}

}  // namespace ptx_corrections
