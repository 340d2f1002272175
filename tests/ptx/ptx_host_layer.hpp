// The real GPU host layer over a module's PTX. The five kernels below have
// the signatures of cuda/kernels/declarations.cuh; each simulated thread of
// a launch passes its arguments, in the order the host layer gives them,
// to the PTX of the module in use (ptx_host::use). The module policy is the
// one every kernel module uses, cuda/kernels/host_module.cuh, so launches,
// geometry and the job symbol uploads are the host layer's own.
#pragma once

#include <cstdint>

#include "cuda/common.hpp"
#include "cuda/host_layer.hpp"
#include "tests/ptx/loaded_module.hpp"

namespace ptx_host {

template <bool CHECK>
void k_mine(const std::uint64_t* mid, const std::uint8_t* base, std::uint64_t nonce_start, std::uint32_t iters,
            std::uint32_t* cand_count, std::uint64_t* cands, std::uint32_t cap, std::uint8_t* out) {
    using ptx::Argument;
    const Argument arguments[] = {Argument::of(mid),        Argument::of(base),  Argument::of(nonce_start),
                                  Argument::of(iters),      Argument::of(cand_count), Argument::of(cands),
                                  Argument::of(cap),        Argument::of(out)};
    active_module().run_thread(CHECK ? KernelRole::Check : KernelRole::Mine, arguments);
}

inline void k_midstate(const std::uint8_t* hdr_nhi, std::uint64_t* mid_out) {
    const ptx::Argument arguments[] = {ptx::Argument::of(hdr_nhi), ptx::Argument::of(mid_out)};
    active_module().run_thread(KernelRole::Midstate, arguments);
}

inline void k_midstate_mm(const std::uint64_t* mid, const std::uint8_t* base, std::uint64_t* mm_out) {
    const ptx::Argument arguments[] = {ptx::Argument::of(mid), ptx::Argument::of(base), ptx::Argument::of(mm_out)};
    active_module().run_thread(KernelRole::MidstateMm, arguments);
}

inline void k_hash_full(const std::uint8_t* in, std::uint8_t* out, std::int32_t n) {
    const ptx::Argument arguments[] = {ptx::Argument::of(in), ptx::Argument::of(out), ptx::Argument::of(n)};
    active_module().run_thread(KernelRole::HashFull, arguments);
}

// The mining kernels' bound is the one their PTX declares (.maxntid), on
// every device.
inline unsigned mine_thread_bound(int) { return active_module().kernel(KernelRole::Mine).max_threads; }

#include "cuda/kernels/host_module.cuh"

using TwoStreamLayer = qtc_host::HostLayer<KernelModule>;
using SingleStreamLayer = qtc_host::HostLayer<KernelModule, qtc_host::OneStream>;

}  // namespace ptx_host
