// The module builds whose PTX the tests run: one per kernel module and
// compute capability it is built for, each the PTX of the module's own
// nvcc build, and beside it the number forms' test kernels built with the
// same flags (tests/ptx/CMakeLists.txt makes the list).
#pragma once

#include <ostream>
#include <span>
#include <string>

struct PtxBuild {
    const char* module;  // "energy", "fast89", …
    int cc;              // 80, 89, 120, …
    const char* ptx_path;
    const char* forms_ptx_path;
    bool single_stream;  // the module keeps hb89's older record
    bool folded;         // its c_mm carries QP_RC_EXT_INIT row 0
};

std::span<const PtxBuild> ptx_builds();

// "energy_sm80", for test names.
std::string build_name(const PtxBuild& build);
void PrintTo(const PtxBuild& build, std::ostream* os);

// A PTX file's text; throws std::runtime_error when it cannot be read.
std::string read_ptx(const char* path);
