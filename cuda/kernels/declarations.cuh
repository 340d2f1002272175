// The five kernels and the constant symbols of one kernel module (without
// gl32v10::Wk where QTC_MODULE_WITHOUT_GL32V10 is set, with the folded tables
// where QTC_MODULE_FOLDED is set), included inside the
// module's namespace (or at global scope) after QTC_SHAPE_MINE_BOUNDS gives
// the launch bounds of the mining kernels (threads, minimum blocks). No
// include guard: each module includes it once in its own namespace.
//
// With nvcc in whole-program mode a constant symbol is only reachable from
// the translation unit that defines it, so a module's host copy includes the
// module's kernels.cu itself; the constant declarations below are for g++
// (against the stand-in) and for relocatable device code.

// CHECK false: mine nonce counters from c_mm against c_tgt (mid, base and out
// unused). CHECK true: the first 32 hash bytes of `iters` nonce low halves
// at `base`, from the midstate `mid`, into `out` (the list unused).
template <bool CHECK>
__global__ void __launch_bounds__(QTC_SHAPE_MINE_BOUNDS)
    k_mine(const std::uint64_t* mid, const std::uint8_t* base, std::uint64_t nonce_start, std::uint32_t iters,
           std::uint32_t* cand_count, std::uint64_t* cands, std::uint32_t cap, std::uint8_t* out);

// The midstate: the canonical state after absorbing hdr_nhi (header ‖ nonce
// bytes 0-31). One thread.
__global__ void k_midstate(const std::uint8_t* hdr_nhi, std::uint64_t* mid_out);

// The start state of the third permutation without the counter words:
// canonical M_E(mid + base words 0-5). One thread.
__global__ void k_midstate_mm(const std::uint64_t* mid, const std::uint8_t* base, std::uint64_t* mm_out);

// The whole hash of n inputs of 96 bytes into n × 64 bytes.
__global__ void k_hash_full(const std::uint8_t* in, std::uint8_t* out, std::int32_t n);

#if !defined(__CUDACC__)
extern template void k_mine<false>(const std::uint64_t*, const std::uint8_t*, std::uint64_t, std::uint32_t,
                                   std::uint32_t*, std::uint64_t*, std::uint32_t, std::uint8_t*);
extern template void k_mine<true>(const std::uint64_t*, const std::uint8_t*, std::uint64_t, std::uint32_t,
                                  std::uint32_t*, std::uint64_t*, std::uint32_t, std::uint8_t*);
#endif

#if !defined(__CUDACC__) || defined(__CUDACC_RDC__)
namespace gl32 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
namespace gl32v7 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
#if !defined(QTC_MODULE_WITHOUT_GL32V10)
namespace gl32v10 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
#endif
namespace qp6 {
extern QTC_CONSTANT(std::uint32_t, Wk, 1);
}
extern QTC_CONSTANT(std::uint64_t, QP_RC_INT, 22);
extern QTC_CONSTANT(std::uint64_t, QP_RC_EXT_INIT, 48);
extern QTC_CONSTANT(std::uint64_t, QP_RC_EXT_TERM, 48);
extern QTC_CONSTANT(std::uint64_t, QP_DIAG, 12);
#if defined(QTC_MODULE_FOLDED)
extern QTC_CONSTANT(std::uint64_t, QP_RC_INT_NEXT, 22);
extern QTC_CONSTANT(std::uint64_t, QP_FOLD_INIT, 48);
extern QTC_CONSTANT(std::uint64_t, QP_FOLD_TERM, 48);
#endif
extern QTC_CONSTANT(std::uint8_t, c_tgt, 64);
extern QTC_CONSTANT(std::uint64_t, c_mm, 12);
#endif
