// Where a kernel may take the carry flag CC.CF from one instruction into
// another: inside one straight-line run of instructions, as the PTX ISA
// keeps the condition code for straight-line code only. A run ends at a
// label, after a branch or a ret, and at either boundary of an inline asm
// statement, since the compiler may place anything between two of them.
// Each instruction that takes a carry-in (or a borrow-in) must follow, in
// its own run, an unguarded one that sets the flag; which kind of chain set
// it is the machine's check, as a guarded instruction may or may not run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tests/ptx/interpreter/program.hpp"

namespace ptx {

class CarryRuns {
public:
    // Ends the current run at `line`, where `what` ("the label `$L__BB0_2`")
    // stands.
    void end_run(std::string what, std::uint32_t line);

    // The refusal of `in` in the current run, or nothing; then what `in`
    // does to the run: sets the flag, or ends the run (a branch, a ret).
    std::optional<std::string> take(const Insn& in);

private:
    bool flag_set_ = false;          // in this run
    bool flag_set_earlier_ = false;  // in an earlier run
    std::string ended_by_;
    std::uint32_t ended_at_ = 0;
};

}  // namespace ptx
