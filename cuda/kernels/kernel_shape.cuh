// The five kernels of a kernel module, written once: the proof-of-work hash
// with lazy 96-bit sums, the state in registers, the start state c_mm per job
// and the second half of the hash only on a tie. Included inside the module's
// namespace after its constant symbols (cuda/kernels/constants.cuh) and its
// arithmetic (cuda/kernels/module_arith.cuh), with these set:
//
//   QTC_SHAPE_MINE_BOUNDS   launch bounds of k_mine: threads, minimum blocks
//   QTC_SHAPE_ROUND_LOOP    the directive on the 4, 22 and 4 round loops
//                           (QTC_ROLLED: never unrolled; empty: the code
//                           generator's choice)
//   QTC_SHAPE_SUM_TREE      1: the internal-round sum as a pairwise tree;
//                           0: in index order (modules without folding)
//   QTC_SHAPE_FOLDED        1: every round's constants folded into the
//                           previous round's last multiplication
//                           (cuda/kernels/rounds_folded.cuh); 0: added
//                           before the S-boxes
//   QTC_SHAPE_EARLY_DECISION 1: the mining kernel decides on hash bytes 0-7
//                           before finishing the last linear layer (folded
//                           modules only)
//
// No include guard: one module per translation unit.

#if !defined(QTC_SHAPE_FOLDED)
#define QTC_SHAPE_FOLDED 0
#endif
#if !defined(QTC_SHAPE_EARLY_DECISION)
#define QTC_SHAPE_EARLY_DECISION 0
#endif
#if QTC_SHAPE_EARLY_DECISION && !QTC_SHAPE_FOLDED
#error "the early decision runs on the folded rounds"
#endif

#if defined(__CUDA_ARCH__)
#define QTC_ROLLED _Pragma("unroll 1")
#define QTC_UNROLLED _Pragma("unroll")
#else
#define QTC_ROLLED
#define QTC_UNROLLED
#endif

namespace {

using State = Lazy[12];

__device__ __forceinline__ Fe qp6_reduce(Lazy a) { return reduce(a, qp6::Wk[0]); }

__device__ __forceinline__ std::uint8_t load_ro(const std::uint8_t* p) {
#if defined(__CUDA_ARCH__)
    return __ldg(p);
#else
    return *p;
#endif
}

__device__ __forceinline__ std::uint64_t load_ro(const std::uint64_t* p) {
#if defined(__CUDA_ARCH__)
    return __ldg(reinterpret_cast<const unsigned long long*>(p));
#else
    return *p;
#endif
}

// Four bytes as a little-endian word, zero-extended to an element.
__device__ __forceinline__ Fe load_word(const std::uint8_t* p) {
    return {static_cast<std::uint32_t>(load_ro(p)) | static_cast<std::uint32_t>(load_ro(p + 1)) << 8 |
                static_cast<std::uint32_t>(load_ro(p + 2)) << 16 | static_cast<std::uint32_t>(load_ro(p + 3)) << 24,
            0};
}

__device__ __forceinline__ void store_le(std::uint8_t* p, Fe v) {
    QTC_UNROLLED
    for (int b = 0; b < 4; ++b) {
        p[b] = static_cast<std::uint8_t>(v.lo >> (8 * b));
        p[4 + b] = static_cast<std::uint8_t>(v.hi >> (8 * b));
    }
}

// Adds the eight little-endian words at `p` into the rate.
__device__ __forceinline__ void absorb(State& st, const std::uint8_t* p) {
    QTC_UNROLLED
    for (int j = 0; j < 8; ++j) st[j] = add(st[j], load_word(p + 4 * j));
}

// The fourth block of a 96-byte input: [1, 1, 0, 0, 0, 0, 0, 0].
__device__ __forceinline__ void absorb_padding(State& st) {
    st[0] = add(st[0], Fe{1, 0});
    st[1] = add(st[1], Fe{1, 0});
}

// The 4 × 4 block of the external layer, rows [2,3,1,1] [1,2,3,1] [1,1,2,3] [3,1,1,2].
__device__ __forceinline__ void mix4(Lazy& x0, Lazy& x1, Lazy& x2, Lazy& x3) {
    const Lazy t01 = add(x0, x1);
    const Lazy t23 = add(x2, x3);
    const Lazy t0123 = add(t01, t23);
    const Lazy t01123 = add(t0123, x1);
    const Lazy t01233 = add(t0123, x3);
    const Lazy y3 = add(t01233, add(x0, x0));
    const Lazy y1 = add(t01123, add(x2, x2));
    x0 = add(t01123, t01);
    x1 = y1;
    x2 = add(t01233, t23);
    x3 = y3;
}

// The column sums of the external layer over its three mix4 outputs.
__device__ __forceinline__ void add_column_sums(State& st) {
    QTC_UNROLLED
    for (int k = 0; k < 4; ++k) {
        const Lazy s = add(add(st[k], st[4 + k]), st[8 + k]);
        st[k] = add(st[k], s);
        st[4 + k] = add(st[4 + k], s);
        st[8 + k] = add(st[8 + k], s);
    }
}

__device__ __forceinline__ void linear_layer(State& st) {
    mix4(st[0], st[1], st[2], st[3]);
    mix4(st[4], st[5], st[6], st[7]);
    mix4(st[8], st[9], st[10], st[11]);
    add_column_sums(st);
}

#if QTC_SHAPE_FOLDED
#include "cuda/kernels/rounds_folded.cuh"
#else
// Round constant k of the first (TERMINAL false) or last four external rounds.
template <bool TERMINAL>
__device__ __forceinline__ Fe external_rc(int k) {
    return fe(TERMINAL ? QP_RC_EXT_TERM[k] : QP_RC_EXT_INIT[k]);
}

// External round r: each element plus its round constant, reduced, through
// its S-box, then the linear layer on lazy values. The twelve S-boxes and
// the three output chunks are written out, each element staying in its own
// registers (a rolled loop would rotate the state through the array, a
// register move per word and turn). The linear layer uses that the column
// sums of its three mix4 outputs are mix4 of the column sums t of its
// inputs: each output chunk is mix4(chunk) + mix4(t), final on its own.
template <bool TERMINAL>
__device__ __forceinline__ void external_round(State& st, int r) {
    Fe x[12];
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) x[i] = sbox7(qp6_reduce(add(st[i], external_rc<TERMINAL>(12 * r + i))));
    Lazy t[4];
    QTC_UNROLLED
    for (int k = 0; k < 4; ++k) t[k] = add(add(lazy(x[k]), x[4 + k]), x[8 + k]);
    mix4(t[0], t[1], t[2], t[3]);
    QTC_UNROLLED
    for (int c = 0; c < 3; ++c) {
        Lazy y[4];
        QTC_UNROLLED
        for (int j = 0; j < 4; ++j) y[j] = lazy(x[4 * c + j]);
        mix4(y[0], y[1], y[2], y[3]);
        QTC_UNROLLED
        for (int j = 0; j < 4; ++j) st[4 * c + j] = add(y[j], t[j]);
    }
}

__device__ __forceinline__ void internal_round(Fe (&x)[12], int r) {
    x[0] = sbox7(qp6_reduce(add(lazy(x[0]), fe(QP_RC_INT[r]))));
#if QTC_SHAPE_SUM_TREE
    // Six sums of two elements, three of two of those, then the total.
    Lazy pairs[6];
    QTC_UNROLLED
    for (int i = 0; i < 6; ++i) pairs[i] = add(lazy(x[2 * i]), x[2 * i + 1]);
    const Lazy sum = add(add(add(pairs[0], pairs[1]), add(pairs[2], pairs[3])), add(pairs[4], pairs[5]));
#else
    Lazy sum = lazy(x[0]);
    QTC_UNROLLED
    for (int i = 1; i < 12; ++i) sum = add(sum, x[i]);
#endif
    const Fe s = qp6_reduce(sum);
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) x[i] = mul_add(x[i], fe(QP_DIAG[i]), s);
}

// The 30 rounds of a permutation whose initial linear layer is already done.
__device__ __forceinline__ void rounds(State& st) {
    QTC_SHAPE_ROUND_LOOP
    for (int r = 0; r < 4; ++r) external_round<false>(st, r);
    Fe x[12];
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) x[i] = qp6_reduce(st[i]);
    QTC_SHAPE_ROUND_LOOP
    for (int r = 0; r < 22; ++r) internal_round(x, r);
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = lazy(x[i]);
    QTC_SHAPE_ROUND_LOOP
    for (int r = 0; r < 4; ++r) external_round<true>(st, r);
}

// Every constant is added before its S-box: nothing to add after a
// permutation's initial linear layer.
__device__ __forceinline__ void add_first_round_constants(State&) {}
#endif

__device__ __forceinline__ void permute(State& st) {
    linear_layer(st);
    add_first_round_constants(st);
    rounds(st);
}

// c_tgt bytes i … i+3 as a big-endian word.
__device__ __forceinline__ std::uint32_t target_word(int i) {
    return static_cast<std::uint32_t>(c_tgt[i]) << 24 | static_cast<std::uint32_t>(c_tgt[i + 1]) << 16 |
           static_cast<std::uint32_t>(c_tgt[i + 2]) << 8 | static_cast<std::uint32_t>(c_tgt[i + 3]);
}

// Hash bytes 32·half + 8·first … 32·half + 31 (canonical elements first-3,
// little-endian) against the same bytes of c_tgt, as byte strings: −1
// below, 0 equal, 1 above.
__device__ __forceinline__ int compare_with_target(const State& st, int half, int first = 0) {
    QTC_UNROLLED
    for (int k = first; k < 4; ++k) {
        const Fe h = canonical(qp6_reduce(st[k]));
        const std::uint32_t words[2] = {byte_swap(h.lo), byte_swap(h.hi)};
        QTC_UNROLLED
        for (int j = 0; j < 2; ++j) {
            const std::uint32_t t = target_word(32 * half + 8 * k + 4 * j);
            if (words[j] != t) return words[j] < t ? -1 : 1;
        }
    }
    return 0;
}

#if QTC_SHAPE_EARLY_DECISION
// The last terminal round of permutation 4 and the comparison of the first
// 32 hash bytes (−1 below, 0 equal, 1 above), deciding on bytes 0-7 before
// the rest of the round's linear layer: after the S-boxes only element 0 is
// finished (the three chunks' first mix4 outputs and their column sum), and
// elements 1-3 only when bytes 0-7 equal the target's.
__device__ __forceinline__ int decide_first_half(State& st) {
    sbox_chunks<true, false>(st, 3);
    // mix4's first output of each chunk: 2·y0 + 3·y1 + y2 + y3.
    Lazy first[3];
    QTC_UNROLLED
    for (int c = 0; c < 3; ++c) {
        const Lazy y01 = add(st[4 * c], st[4 * c + 1]);
        first[c] = add(add(add(y01, y01), st[4 * c + 1]), add(st[4 * c + 2], st[4 * c + 3]));
    }
    const Fe h0 = canonical(qp6_reduce(add(add(first[0], first[0]), add(first[1], first[2]))));
    const std::uint64_t bytes_0_7 = static_cast<std::uint64_t>(byte_swap(h0.lo)) << 32 | byte_swap(h0.hi);
    const std::uint64_t target_0_7 = static_cast<std::uint64_t>(target_word(0)) << 32 | target_word(4);
    if (bytes_0_7 != target_0_7) return bytes_0_7 < target_0_7 ? -1 : 1;
    linear_layer(st);
    return compare_with_target(st, 0, 1);
}
#endif

// Whether the hash of counter n is strictly below c_tgt. Permutation 5 runs
// only when the first 32 bytes tie, outside the loop: carrying the state
// round it once more costs registers the launch bound does not leave.
__device__ __forceinline__ bool meets_target(std::uint64_t n) {
    const std::uint32_t w6 = byte_swap(static_cast<std::uint32_t>(n >> 32));
    const std::uint32_t w7 = byte_swap(static_cast<std::uint32_t>(n));
    // M_E of the block with only elements 6 and 7 set: (v, 2v, v) by chunk.
    const std::uint64_t v[4] = {std::uint64_t{w6} + w7, 3ull * w6 + w7, 2ull * w6 + 3ull * w7,
                                std::uint64_t{w6} + 2ull * w7};
    State st;
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = add(lazy(fe(c_mm[i])), fe(i / 4 == 1 ? 2 * v[i % 4] : v[i % 4]));

    QTC_ROLLED
    for (int perm = 3; perm <= 4; ++perm) {
        if (perm == 4) {
            absorb_padding(st);
            linear_layer(st);
            add_first_round_constants(st);
        }
#if QTC_SHAPE_EARLY_DECISION
        // Permutation 4 leaves its last terminal round to decide_first_half.
        rounds(st, perm == 3 ? 4 : 3);
#else
        rounds(st);
#endif
    }
#if QTC_SHAPE_EARLY_DECISION
    const int order = decide_first_half(st);
#else
    const int order = compare_with_target(st, 0);
#endif
    if (order != 0) return order < 0;
    permute(st);
    return compare_with_target(st, 1) < 0;
}

// This thread's index in the grid, read from the special registers at each
// call (volatile, so that the reads are not merged and hoisted): the mining
// loop needs it only before and after a hash, and a register holding it
// across the permutations is one the launch bound does not leave.
__device__ __forceinline__ std::uint32_t thread_index() {
#if defined(__CUDA_ARCH__)
    std::uint32_t ctaid, ntid, tid;
    asm volatile("mov.u32 %0, %%ctaid.x;" : "=r"(ctaid));
    asm volatile("mov.u32 %0, %%ntid.x;" : "=r"(ntid));
    asm volatile("mov.u32 %0, %%tid.x;" : "=r"(tid));
    return ctaid * ntid + tid;
#else
    return blockIdx.x * blockDim.x + threadIdx.x;
#endif
}

}  // namespace

template <bool CHECK>
__global__ void __launch_bounds__(QTC_SHAPE_MINE_BOUNDS)
    k_mine([[maybe_unused]] const std::uint64_t* __restrict__ mid, [[maybe_unused]] const std::uint8_t* __restrict__ base,
           [[maybe_unused]] std::uint64_t nonce_start, std::uint32_t iters,
           [[maybe_unused]] std::uint32_t* __restrict__ cand_count, [[maybe_unused]] std::uint64_t* __restrict__ cands,
           [[maybe_unused]] std::uint32_t cap, [[maybe_unused]] std::uint8_t* __restrict__ out) {
    if constexpr (CHECK) {
        const std::uint32_t gid = blockIdx.x * blockDim.x + threadIdx.x;
        if (gid >= iters) return;
        State st;
        QTC_UNROLLED
        for (int i = 0; i < 12; ++i) st[i] = lazy(fe(load_ro(mid + i)));
        absorb(st, base + 32ull * gid);
        QTC_ROLLED
        for (int perm = 3; perm <= 4; ++perm) {
            if (perm == 4) absorb_padding(st);
            permute(st);
        }
        QTC_UNROLLED
        for (int k = 0; k < 4; ++k) store_le(out + 32ull * gid + 8 * k, canonical(qp6_reduce(st[k])));
    } else {
        // The thread's i-th counter, rebuilt at each use: i is the same in
        // every thread, so no per-thread value stays live across the hash.
        const auto counter = [&](std::uint32_t i) {
            return nonce_start + static_cast<std::uint64_t>(iters) * thread_index() + i;
        };
        for (std::uint32_t i = 0; i != iters; ++i) {
            if (!meets_target(counter(i))) continue;
            const std::uint32_t slot = atomicAdd(cand_count, 1u);
            if (slot < cap) cands[slot] = counter(i);
        }
    }
}

template __global__ void k_mine<false>(const std::uint64_t*, const std::uint8_t*, std::uint64_t, std::uint32_t,
                                       std::uint32_t*, std::uint64_t*, std::uint32_t, std::uint8_t*);
template __global__ void k_mine<true>(const std::uint64_t*, const std::uint8_t*, std::uint64_t, std::uint32_t,
                                      std::uint32_t*, std::uint64_t*, std::uint32_t, std::uint8_t*);

__global__ void k_midstate(const std::uint8_t* __restrict__ hdr_nhi, std::uint64_t* __restrict__ mid_out) {
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    State st = {};
    QTC_ROLLED
    for (int block = 0; block < 2; ++block) {
        absorb(st, hdr_nhi + 32 * block);
        permute(st);
    }
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) mid_out[i] = u64(canonical(qp6_reduce(st[i])));
}

__global__ void k_midstate_mm(const std::uint64_t* __restrict__ mid, const std::uint8_t* __restrict__ base,
                              std::uint64_t* __restrict__ mm_out) {
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    State st;
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = lazy(fe(load_ro(mid + i)));
    QTC_UNROLLED
    for (int i = 0; i < 6; ++i) st[i] = add(st[i], load_word(base + 4 * i));
    linear_layer(st);
    add_first_round_constants(st);
    QTC_UNROLLED
    for (int i = 0; i < 12; ++i) mm_out[i] = u64(canonical(qp6_reduce(st[i])));
}

__global__ void k_hash_full(const std::uint8_t* __restrict__ in, std::uint8_t* __restrict__ out, std::int32_t n) {
    const std::uint32_t gid = blockIdx.x * blockDim.x + threadIdx.x;
    if (static_cast<std::int32_t>(gid) >= n) return;
    // Offsets in signed 32-bit arithmetic, like n.
    const std::uint8_t* src = in + static_cast<std::int32_t>(96u * gid);
    std::uint8_t* dst = out + static_cast<std::int32_t>(64u * gid);
    State st = {};
    QTC_ROLLED
    for (int block = 0; block < 5; ++block) {
        if (block < 3)
            absorb(st, src + 32 * block);
        else if (block == 3)
            absorb_padding(st);
        permute(st);
        if (block >= 3) {
            QTC_UNROLLED
            for (int k = 0; k < 4; ++k) store_le(dst + 32 * (block - 3) + 8 * k, canonical(qp6_reduce(st[k])));
        }
    }
}

