// The PTX of one kernel module, parsed once, as the stand-in's launches run
// it: each simulated thread runs the kernel's PTX in the interpreter with
// the arguments the host layer passed, laid out as the PTX declares its
// parameters. The job symbols c_tgt and c_mm are the ones the host layer
// writes (sim constants); the rest of the constant bank is the PTX's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/cuda_runtime.hpp"
#include "tests/ptx/interpreter/arguments.hpp"
#include "tests/ptx/interpreter/program.hpp"

namespace ptx_host {

enum class KernelRole { Mine, Check, Midstate, MidstateMm, HashFull };

// The kernel a mangled entry name stands for: k_mine<false>, k_mine<true>,
// k_midstate, k_midstate_mm, k_hash_full, in any namespace; none otherwise.
std::optional<KernelRole> role_of(std::string_view mangled);

// A launch of n blocks run as the last n blocks of a grid of `full_grid`:
// %ctaid.x counts from `first_block` and %nctaid.x is `full_grid`. For
// thread indices near 2^32, whose grid is too large to run whole.
struct GridWindow {
    std::uint32_t first_block, full_grid;
};

// Written by the host layer's job upload (cudaMemcpyToSymbolAsync).
extern sim::DeviceConstant<std::uint8_t, 64> c_tgt;
extern sim::DeviceConstant<std::uint64_t, 12> c_mm;

class LoadedModule {
public:
    // Throws ptx::Error when the text does not parse or lacks one of the
    // five kernels or the two job symbols.
    explicit LoadedModule(std::string_view ptx_text);

    const ptx::Program& program() const { return program_; }
    const ptx::Kernel& kernel(KernelRole role) const { return *kernels_[static_cast<int>(role)]; }

    // Runs the thread of sim::coordinates. A fault stops the thread and is
    // kept for take_fault; later faults of the same launch are dropped.
    void run_thread(KernelRole role, std::span<const ptx::Argument> arguments);

    // The first fault since the last call, or an empty text.
    std::string take_fault();
    std::uint64_t executed() const { return executed_.load(std::memory_order_relaxed); }

    // Applies to every launch until reset with std::nullopt.
    void set_grid_window(std::optional<GridWindow> window) { window_ = window; }

private:
    ptx::Program program_;
    const ptx::Kernel* kernels_[5] = {};
    std::uint32_t target_offset_ = 0, start_state_offset_ = 0;
    std::optional<GridWindow> window_;
    std::atomic<std::uint64_t> executed_{0};
    std::mutex fault_mutex_;
    std::string fault_;
};

// The module the kernels of ptx_host_layer.hpp run; the caller keeps it
// alive while the host layer uses it.
void use(LoadedModule* module);
LoadedModule& active_module();

}  // namespace ptx_host
