// The instruction forms the interpreter implements, by their full opcode
// ("addc.cc.u32", "ld.global.nc.u8"), each with the operation it decodes to
// and the operands it takes. An opcode outside this table is not
// implemented, and the parser refuses it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "tests/ptx/interpreter/program.hpp"

namespace ptx {

enum class Space : std::uint8_t { None, Param, Const, Global };

struct OperandSpec {
    enum Kind : std::uint8_t { Dst, Src, Addr, Label } kind;
    std::uint8_t width;  // bits of the value: 1 for a predicate, else 8 … 64
    // ld, st and cvt take registers wider than their type: a narrow value
    // is loaded, stored or converted in a regular-width register.
    bool wider_register_allowed = false;
};

struct Form {
    Op op;
    std::uint8_t count = 0;  // operands
    std::array<OperandSpec, 5> operands{};
    Space space = Space::None;
    std::uint8_t size = 0;  // memory: bytes moved; cvt: bytes of the source type
    bool sign = false;      // loads and cvt: the source type is signed
    std::uint8_t dtype_bits = 0;  // cvt: bits of the destination type
    bool dsign = false;           // cvt: the destination type is signed
};

// The form of `opcode`, or null when the interpreter does not implement it.
const Form* find_form(std::string_view opcode);

}  // namespace ptx
