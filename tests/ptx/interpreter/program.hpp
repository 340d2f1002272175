// A PTX module decoded for execution: its constant bank with the initial
// values, and each kernel as a flat array of compact instructions over
// numbered value slots.
//
// Slots hold every value a thread works with, each as 64 bits: the
// registers the kernel declares (a 32-bit register keeps its value
// zero-extended, a predicate 0 or 1), the special registers of the thread,
// and the immediates of the instructions, so that every operand is a slot
// number. Slots whose value never changes come from Kernel::initial_slots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ptx {

// Every instruction form the interpreter executes, as the PTX ISA defines
// it. Integer values wrap; 32-bit forms read the low 32 bits of a slot.
enum class Op : std::uint16_t {
    // d = a (also cvta between generic and global, which coincide here)
    Mov,
    Pack64,    // d = a | b << 32            (mov.b64 d, {a, b})
    Unpack64,  // d = low half, e = high half (mov.b64 {d, e}, a)
    Pack32,    // d = a | b << 16            (mov.b32 d, {a, b})
    Unpack32,  // d = low half, e = high half (mov.b32 {d, e}, a)
    // conversions between integer types
    Zext32,    // d = low 32 bits of a
    Sext32,    // d = a's low 32 bits sign-extended to 64
    Convert,   // the general case: see Insn::size, sign, width, dsign
    // arithmetic
    Add32, Add64, Sub32, Sub64, Neg32, Neg64,
    MulLo32, MulLo64, MulHiU32, MulHiS32, MulHiU64, MulWideU32, MulWideS32, MulWideU16, MulWideS16,
    MadLo32, MadLo64, MadHiU32, MadWideU32,
    // carry chains: CC.CF carries out of / into 32-bit additions, and is the
    // borrow of subtractions; a carry-in is taken only from the same kind of
    // chain (add and mad, or sub)
    AddCc, Addc, AddcCc, SubCc, Subc, SubcCc,
    MadLoCc, MadHiCc, MadcLo, MadcLoCc, MadcHi, MadcHiCc,
    // bits
    And, Or, Xor, Not32, Not64, NotPred,
    Shl32, ShrU32, ShrS32, Shl64, ShrU64, ShrS64,  // amounts above the width clamp to it
    ShfLClamp, ShfLWrap, ShfRClamp, ShfRWrap,
    Bfi32, Bfi64,
    Prmt,  // default mode only
    // comparisons into a predicate, and selection
    SetpEq, SetpNe, SetpLtU, SetpLeU, SetpGtU, SetpGeU,
    SetpLtS32, SetpLeS32, SetpGtS32, SetpGeS32,
    SetpLtS64, SetpLeS64, SetpGtS64, SetpGeS64,
    Selp,  // d = c ? a : b
    // memory: address r[a] + imm, Insn::size bytes
    LdParam, LdConst, LdGlobal, StGlobal,
    AtomAdd32, AtomAdd64,  // d = old value, memory += b
    // control
    Bra,  // to instruction imm
    Ret,
};

// Loads: the value loaded is `size` bytes, zero-extended, or sign-extended
// (`sign`) to the destination register's `width` bits. Stores: the low
// `size` bytes of b. Convert: a's low `size` bytes, extended by their
// signedness (`sign`), cut to the destination type's `width` bits, then
// sign-extended to `dsign` bits when the destination type is signed and its
// register wider (0: not at all).
struct Insn {
    Op op = Op::Ret;
    std::uint8_t skip_when = 0;  // the instruction is skipped when slots[guard] == skip_when
    std::uint8_t size = 0;
    std::uint8_t width = 0;
    std::uint8_t sign = 0;
    std::uint8_t dsign = 0;
    std::uint32_t guard = 0;  // slot 0 is always 1: unguarded
    std::uint32_t d = 0, a = 0, b = 0, c = 0, e = 0;
    std::int64_t imm = 0;
    std::uint32_t line = 0;
};

// The fixed slots of every kernel, before its registers.
inline constexpr std::uint32_t SLOT_TRUE = 0;  // 1: the guard of an unguarded instruction
inline constexpr std::uint32_t SLOT_ZERO = 1;  // 0: the base of an absolute address
// %tid, %ntid, %ctaid, %nctaid, each x, y, z.
inline constexpr std::uint32_t SLOT_TID = 2, SLOT_NTID = 5, SLOT_CTAID = 8, SLOT_NCTAID = 11;
inline constexpr std::uint32_t FIXED_SLOTS = 14;

// Addresses of the constant bank: constant symbols live at CONST_BASE +
// their offset, so that no constant address is a null or host pointer.
inline constexpr std::uint64_t CONST_BASE = 0x10000;

struct Param {
    std::string name;
    std::uint32_t size, offset;
};

// The PTX text, kept for messages that quote a line.
struct SourceText {
    std::string text;
    std::vector<std::size_t> line_starts;  // of lines 1, 2, …

    std::string_view line(std::uint32_t number) const;
    // "PTX line N: what: `the line`"
    std::string message(std::uint32_t line_number, std::string_view what) const;
};

struct Kernel {
    std::string name;  // as the PTX spells it (mangled)
    std::vector<Param> params;
    std::uint32_t param_bytes = 0;
    std::uint32_t max_threads = 0;  // .maxntid x·y·z, 0 when the kernel declares none
    std::vector<Insn> code;
    std::vector<std::uint64_t> initial_slots;  // every slot's value when a thread starts
    std::shared_ptr<const SourceText> source;
};

struct ConstSymbol {
    std::string name;
    std::uint32_t offset, size;
};

struct Program {
    std::string target;  // "sm_90"
    std::vector<ConstSymbol> constants;
    std::vector<std::uint8_t> constant_image;  // the bank with its initial values
    std::vector<Kernel> kernels;
    std::shared_ptr<const SourceText> source;

    const ConstSymbol* constant(std::string_view name) const;
};

}  // namespace ptx
