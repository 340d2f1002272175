// Reads of registers that may not have been written: the PTX ISA leaves a
// register's value undefined until something writes it, where the slots
// here would read 0 or whatever an earlier scope's register left in them.
// A read is refused unless every path from the kernel's start to it passes
// an unguarded write of that register since its declaration (a guarded
// write may not happen; a nested scope's registers are new ones, although
// they take the slots of an earlier scope's).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tests/ptx/interpreter/program.hpp"

namespace ptx {

// Registers a .reg directive declares: `count` slots from `first_slot`,
// new from instruction `at` on. A range's registers are `name` followed by
// their index ("%r" gives %r0, %r1, …).
struct Declaration {
    std::uint32_t at, first_slot, count;
    std::string name;
    bool range;
};

// Throws ptx::Error naming the line of the first such read, in text order.
// Slots below FIXED_SLOTS and from `registers_end` on (the immediates) are
// always written.
void check_registers_written(const Kernel& kernel, std::uint32_t registers_end,
                             std::span<const Declaration> declarations);

}  // namespace ptx
