// PTX text as tokens. Words take in dots, % and $, so that an opcode with
// its modifiers ("addc.cc.u32"), a directive (".reg"), a special register
// ("%tid.x") and a label ("$L__BB0_2") are one token each. Comments are
// dropped, except the two nvcc writes around every inline asm statement
// ("// begin inline asm", "// end inline asm"), which are one AsmBoundary
// token each: a carry flag may not be taken across them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace ptx {

struct Token {
    enum Kind : std::uint8_t { Word, Number, Punct, String, AsmBoundary, End } kind;
    std::string_view text;
    std::uint32_t line;
};

// Throws ptx::Error at a character PTX does not use.
std::vector<Token> tokenize(std::string_view text);

}  // namespace ptx
