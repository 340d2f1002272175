// What the PTX interpreter reports when it cannot go on: a text it cannot
// read, an instruction it does not implement, or a thread that faults
// (a memory access outside what the kernel was given, a loop that does not
// end). The message names the PTX line.
#pragma once

#include <stdexcept>

namespace ptx {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace ptx
