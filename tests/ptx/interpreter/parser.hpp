// PTX text to a Program: the module's constant bank and its kernels,
// decoded once into compact instructions. What the interpreter does not
// implement (an opcode or modifier outside its forms, .func and calls,
// shared or local memory, a special register other than %tid, %ntid,
// %ctaid and %nctaid) stops the parse with a ptx::Error naming the line,
// and so does what the ISA leaves undefined: a carry taken across the end
// of a straight-line run (carry_runs.hpp), a register read where it may not
// have been written (register_writes.hpp).
#pragma once

#include <string_view>

#include "tests/ptx/interpreter/program.hpp"

namespace ptx {

Program parse(std::string_view text);

}  // namespace ptx
