// The rare corrections of the field arithmetic, as the inline PTX of
// cuda/kernels/number_forms.hpp writes them: the ε taken off once more when
// a product reduction's subtraction borrows, and the qp6 reduction's second
// ε on a carry out of 64 bits. Each fires about once in 2^31 reductions of
// hash data, so only chosen operands reach them; and a copy of the PTX with
// one of them cut out (its line made a move of 0) is what those operands
// must tell apart.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace ptx_corrections {

struct Correction {
    const char* name;
    const char* form;       // the number form whose asm statement holds it
    const char* registers;  // that statement's .reg line, which tells it apart
    const char* line;       // the correction
    const char* cut;        // what it becomes
};

std::span<const Correction> rare_corrections();

// `ptx` with every occurrence of the correction cut out, and how many there
// were.
struct Cut {
    std::string text;
    int lines = 0;
};
Cut cut_out(std::string_view ptx, const Correction& correction);

}  // namespace ptx_corrections
