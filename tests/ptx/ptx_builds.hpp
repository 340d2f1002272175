// The module builds whose PTX the tests run: one per kernel module and
// compute capability it is built for, each the PTX of the module's own
// nvcc build (tests/ptx/CMakeLists.txt makes the list).
#pragma once

#include <span>

struct PtxBuild {
    const char* module;  // "energy", "fast89", …
    int cc;              // 80, 89, 120, …
    const char* ptx_path;
    bool single_stream;  // the module keeps hb89's older record
    bool folded;         // its c_mm carries QP_RC_EXT_INIT row 0
};

std::span<const PtxBuild> ptx_builds();
