#include "tests/ptx/interpreter/carry_runs.hpp"

#include <utility>

namespace ptx {
namespace {

bool takes_borrow(Op op) { return op == Op::Subc || op == Op::SubcCc; }

bool takes_carry(Op op) {
    switch (op) {
        case Op::Addc:
        case Op::AddcCc:
        case Op::MadcLo:
        case Op::MadcLoCc:
        case Op::MadcHi:
        case Op::MadcHiCc: return true;
        default: return takes_borrow(op);
    }
}

bool sets_carry(Op op) {
    switch (op) {
        case Op::AddCc:
        case Op::AddcCc:
        case Op::SubCc:
        case Op::SubcCc:
        case Op::MadLoCc:
        case Op::MadHiCc:
        case Op::MadcLoCc:
        case Op::MadcHiCc: return true;
        default: return false;
    }
}

}  // namespace

void CarryRuns::end_run(std::string what, std::uint32_t line) {
    flag_set_earlier_ = flag_set_earlier_ || flag_set_;
    flag_set_ = false;
    ended_by_ = std::move(what);
    ended_at_ = line;
}

std::optional<std::string> CarryRuns::take(const Insn& in) {
    std::optional<std::string> refusal;
    if (takes_carry(in.op) && !flag_set_) {
        const bool borrow = takes_borrow(in.op);
        const std::string flag = borrow ? "a borrow-in" : "a carry-in";
        if (flag_set_earlier_)
            refusal = flag + " across " + ended_by_ + " (line " + std::to_string(ended_at_) + ")";
        else
            refusal = flag + (borrow ? " that no sub carry chain set" : " that no add or mad carry chain set");
    }
    if (sets_carry(in.op) && in.guard == SLOT_TRUE) flag_set_ = true;
    if (in.op == Op::Bra) end_run("a branch", in.line);
    if (in.op == Op::Ret) end_run("a ret", in.line);
    return refusal;
}

}  // namespace ptx
