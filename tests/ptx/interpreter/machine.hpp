// Runs one thread of a decoded kernel to its end. The thread sees its
// parameters, the module's constant bank and, through its global pointers,
// only the buffers it is given: any other access, or one that is not
// naturally aligned, is a fault. Threads never wait for each other, so the
// threads of a grid may run one at a time, in any order or in parallel;
// atom.global operations are atomic on the host.
#pragma once

#include <cstdint>
#include <span>

#include "tests/ptx/interpreter/program.hpp"

namespace ptx {

// Host memory a kernel may reach through global addresses.
struct Buffer {
    std::uintptr_t begin, end;
};

struct Dim3 {
    std::uint32_t x = 1, y = 1, z = 1;
};

// %tid, %ntid, %ctaid and %nctaid of one thread.
struct ThreadPlace {
    Dim3 tid{0, 0, 0}, ntid, ctaid{0, 0, 0}, nctaid;
};

struct Memory {
    std::span<const std::uint8_t> params;    // laid out as the kernel's params say
    std::span<const std::uint8_t> constant;  // the bank, at CONST_BASE
    std::span<const Buffer> global;
};

// Backward branches a thread may take before it counts as a loop that
// does not end.
inline constexpr std::uint64_t BACKWARD_BRANCH_LIMIT = std::uint64_t{1} << 24;

// Runs the thread and returns how many instructions it executed (skipped
// guarded ones included). Throws ptx::Error, naming the instruction's line,
// on a fault.
std::uint64_t run_thread(const Kernel& kernel, const Memory& memory, const ThreadPlace& place);

}  // namespace ptx
