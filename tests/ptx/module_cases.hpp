// The checks every module build's PTX must pass, driven through the real
// host layer (ptx_host_layer.hpp) and compared with the host hash. Each
// check returns what it found wrong, so that the same checks show the
// builds right and the deliberately edited PTX wrong.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/ptx/loaded_module.hpp"

namespace ptx_cases {

using Problems = std::vector<std::string>;

// What a module's host copy and start state look like, as the module list
// says (ptx_builds).
struct ModuleTraits {
    bool single_stream;  // hb89's older record
    bool folded;         // c_mm carries QP_RC_EXT_INIT row 0 (fast89, fast86)
};
ModuleTraits traits_of(std::string_view module);

class Context;

// A module's PTX in use by a host-layer context of its record layout.
class Rig {
public:
    // Throws ptx::Error when the PTX does not load.
    Rig(std::string_view ptx_text, std::string_view module, std::uint32_t cap = 64);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    ptx_host::LoadedModule module;
    ModuleTraits traits;
    std::unique_ptr<Context> context;
};

Problems job_upload(Rig& rig);
// Midstates at and above p, and midstates that take the rare corrections,
// through k_midstate_mm, the check kernel and the mining kernel.
Problems crafted_midstates(Rig& rig);
Problems hash_full(Rig& rig);
Problems check_first_halves(Rig& rig);
// One named mining batch: "found", "not found", "wrap", "high halves",
// "no iterations".
Problems mining_batch(Rig& rig, std::string_view name);
std::vector<std::string_view> mining_batch_names();
Problems strict_over_sixty_four_bytes(Rig& rig);
Problems capacity(Rig& rig);  // needs a rig of cap 5
Problems thread_index_near_the_top(Rig& rig);

}  // namespace ptx_cases
