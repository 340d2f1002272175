// The energy kernels: the proof-of-work hash with lazy 96-bit sums, the
// subtractive product reduction and round loops kept rolled, for a small
// instruction footprint. g++ builds this file as C++ through kernels_sim.cpp.
#include "cuda/energy/kernels.hpp"

#include <cstddef>

#include "cuda/energy/arith.hpp"

#if defined(__CUDA_ARCH__)
#define QTCV_E_ROLLED _Pragma("unroll 1")
#define QTCV_E_UNROLLED _Pragma("unroll")
#else
#define QTCV_E_ROLLED
#define QTCV_E_UNROLLED
#endif

namespace qtcv_e {

// A constant symbol with its initial value in the module image; on the
// stand-in every device's copy starts with it.
#if defined(__CUDACC__)
#define QTCV_E_CONSTANT(type, name, count, ...) __constant__ type name[count] = {__VA_ARGS__}
#else
template <typename T, std::size_t N>
constexpr ::sim::DeviceConstant<T, N> on_every_device(const T (&values)[N]) {
    ::sim::DeviceConstant<T, N> symbol{};
    for (auto& copy : symbol.storage)
        for (std::size_t i = 0; i < N; ++i) copy[i] = values[i];
    return symbol;
}
#define QTCV_E_CONSTANT(type, name, count, ...) \
    constinit ::sim::DeviceConstant<type, count> name = on_every_device<type, count>({__VA_ARGS__})
#endif

// Knob words: ε for the reductions, read from constant memory so that the
// code generator cannot fold it into an immediate. Only qp6::Wk is read here.
namespace gl32 {
QTCV_E_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
namespace gl32v7 {
QTCV_E_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
namespace gl32v10 {
QTCV_E_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}
namespace qp6 {
QTCV_E_CONSTANT(std::uint32_t, Wk, 1, 0xffffffffu);
}

QTCV_E_CONSTANT(std::uint64_t, QP_RC_INT, 22,
    0x97f7798a784ad863ULL, 0xd1d2bf082f60d4f0ULL, 0x69a377a79f9ad206ULL, 0xa9d06906a3858e24ULL,
    0x295275001eede5b5ULL, 0x5874e441117bd746ULL, 0x8a084bbba8ed86ccULL, 0x3defd7645cde6425ULL,
    0x3998cfe6871cc137ULL, 0x3e52ef8bca48314aULL, 0x964a209f85dc9eccULL, 0x3fcc9ee82cc4577eULL,
    0x8e79b4a5d0096d6dULL, 0x8492362ad2392556ULL, 0xee72f470262574d6ULL, 0x1e0e18496da2444aULL,
    0x0f3a74bf215eaac6ULL, 0x1b061b76a1c0ded3ULL, 0x192c42d86803d7a6ULL, 0xf6d49ff997ae0260ULL,
    0x3ec372e7a0fa3786ULL, 0x5538cdf4f23445d3ULL);

QTCV_E_CONSTANT(std::uint64_t, QP_RC_EXT_INIT, 48,
    0xc002e770975b1607ULL, 0xbca51a8dfe14593aULL, 0x72938dfbe774f7f9ULL, 0xe4f2fe29e03234acULL,
    0xd5e0ba2f541b6449ULL, 0xec33b868f3cc46c1ULL, 0x486dcb55419d475aULL, 0x6c1cb2a358cc24f1ULL,
    0xe3f30d509a1436bbULL, 0xd9a64f068dca7c29ULL, 0xe59b3f57aabba1aeULL, 0x2a3dd4505b478fdcULL,
    0xada1f8dc7676ed25ULL, 0x2711aa8b5509d516ULL, 0x4ae6acd0c9c92897ULL, 0x56eb3d6b5256d67aULL,
    0x1f7a9d55923bf51eULL, 0x3600427d397a7f68ULL, 0xe5076df75b72c3d0ULL, 0xfcd59aa12c6090adULL,
    0xcd895e8c68b57a9eULL, 0x41df7ef9d730ae3eULL, 0xee3e2b889abe977dULL, 0xd29bb7edbeb9c405ULL,
    0x7d5c08eef608e382ULL, 0x89ae889caaf0802cULL, 0xb35a8e976d2af617ULL, 0xdb14234eafaf5173ULL,
    0x78f04462d48b1c98ULL, 0x265293b0e47ce88aULL, 0x999a649b69b9d32fULL, 0x64b0a186698e01d3ULL,
    0xee0b22d0dfae8bb8ULL, 0x4fd53e50ca04a7eeULL, 0x5762bfe181f25047ULL, 0xf51593e2beb5e3bdULL,
    0x1e5e2b5760e32477ULL, 0x622462a1f9aaaeedULL, 0xaa284b3ecdb222aeULL, 0x63c8e72f542bf3fcULL,
    0x3ba588cacb43b5e0ULL, 0x23eda6f3c99150ddULL, 0xaad3bea4baac9a5aULL, 0xe9da8d699b94184aULL,
    0xcdb13f4cd93e024cULL, 0x902cbd0956f655e3ULL, 0x5b4e40ffc759532fULL, 0xde795c20a2357af7ULL);

QTCV_E_CONSTANT(std::uint64_t, QP_RC_EXT_TERM, 48,
    0x7b72c539e0ea4c6eULL, 0x144573dae2ce9976ULL, 0x802028b68f35fc88ULL, 0x6d36c5022c4fe7c2ULL,
    0xa205d0ffa9b9def3ULL, 0xf6e7e38b1ea6ba2fULL, 0x34f7909ae5258d64ULL, 0xb0464d9d77b97fcaULL,
    0x64ddb9d5de7e00a6ULL, 0x0ed0d75c27975d97ULL, 0x1cbb36f11127338bULL, 0x6673e505cfd0b6baULL,
    0x605f902830872e01ULL, 0x3fd5eb927e95fe4fULL, 0xe81025b5a24c69cdULL, 0xf7d0ce75de23f74eULL,
    0xf39942b6a8585089ULL, 0x6d808a08f7b71df6ULL, 0xf8806b6588f49a8bULL, 0x57df2d8c2a32107aULL,
    0x16e7c2074d654a2dULL, 0x213de241fcf33835ULL, 0xb0f2b8905a0976f6ULL, 0xd8e3cf2bbd355417ULL,
    0xe498691679d9330fULL, 0x763b45d2a3821b28ULL, 0x0908bf65eb0a1f0dULL, 0x7691eb2d194b24f4ULL,
    0x0e43551233ae13b2ULL, 0x93c393dbfc2fe76fULL, 0x98f607485d48cdeaULL, 0xe3d95f30309819c0ULL,
    0x1ef581a93eaf6acfULL, 0x0b24c1b7a030fca4ULL, 0x624370be5670b327ULL, 0x5f1e28615a11e486ULL,
    0xfe04051f909e042bULL, 0x7257e5b147fd3803ULL, 0xe6ae134bb82f2e78ULL, 0x5711fd5cf4784511ULL,
    0xf83a42660c08c0bcULL, 0x2cd8c96d9a3ce855ULL, 0x7d2ffb1bb0e17271ULL, 0x85ae1528caea3811ULL,
    0x52a345d5c7adb0b8ULL, 0x504c4c51f3faee94ULL, 0xbce34a649cfccaf9ULL, 0xe0a3389266fb6dc9ULL);

QTCV_E_CONSTANT(std::uint64_t, QP_DIAG, 12,
    0xc3b6c08e23ba9300ULL, 0xd84b5de94a324fb6ULL, 0x0d0c371c5b35b84fULL, 0x7964f570e7188037ULL,
    0x5daf18bbd996604bULL, 0x6743bc47b9595257ULL, 0x5528b9362c59bb70ULL, 0xac45e25b7127b68bULL,
    0xa2077d7dfbb606b5ULL, 0xf3faac6faee378aeULL, 0x0c6388b51545e883ULL, 0xd27dbb6944917b60ULL);

QTC_CONSTANT(std::uint8_t, c_tgt, 64);
QTC_CONSTANT(std::uint64_t, c_mm, 12);

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
    QTCV_E_UNROLLED
    for (int b = 0; b < 4; ++b) {
        p[b] = static_cast<std::uint8_t>(v.lo >> (8 * b));
        p[4 + b] = static_cast<std::uint8_t>(v.hi >> (8 * b));
    }
}

// Adds the eight little-endian words at `p` into the rate.
__device__ __forceinline__ void absorb(State& st, const std::uint8_t* p) {
    QTCV_E_UNROLLED
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
    QTCV_E_UNROLLED
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

// An external round as three turns of a rolled loop, each doing one chunk's
// four S-boxes and its mix4 while the chunks rotate through the state; the
// column sums follow. Twelve S-boxes side by side would need more registers
// than the launch bound leaves.
template <bool TERMINAL>
__device__ __forceinline__ void external_round(State& st, int r) {
    QTCV_E_ROLLED
    for (int c = 0; c < 3; ++c) {
        Lazy y[4];
        QTCV_E_UNROLLED
        for (int j = 0; j < 4; ++j) {
            const int k = 12 * r + 4 * c + j;
            const std::uint64_t rc = TERMINAL ? QP_RC_EXT_TERM[k] : QP_RC_EXT_INIT[k];
            y[j] = lazy(sbox7(qp6_reduce(add(st[j], fe(rc)))));
        }
        mix4(y[0], y[1], y[2], y[3]);
        QTCV_E_UNROLLED
        for (int j = 0; j < 4; ++j) {
            st[j] = st[4 + j];
            st[4 + j] = st[8 + j];
            st[8 + j] = y[j];
        }
    }
    add_column_sums(st);
}

__device__ __forceinline__ void internal_round(Fe (&x)[12], int r) {
    x[0] = sbox7(qp6_reduce(add(lazy(x[0]), fe(QP_RC_INT[r]))));
    Lazy sum = lazy(x[0]);
    QTCV_E_UNROLLED
    for (int i = 1; i < 12; ++i) sum = add(sum, x[i]);
    const Fe s = qp6_reduce(sum);
    QTCV_E_UNROLLED
    for (int i = 0; i < 12; ++i) x[i] = mul_add(x[i], fe(QP_DIAG[i]), s);
}

// The 30 rounds of a permutation whose initial linear layer is already done.
__device__ __forceinline__ void rounds(State& st) {
    QTCV_E_ROLLED
    for (int r = 0; r < 4; ++r) external_round<false>(st, r);
    Fe x[12];
    QTCV_E_UNROLLED
    for (int i = 0; i < 12; ++i) x[i] = qp6_reduce(st[i]);
    QTCV_E_ROLLED
    for (int r = 0; r < 22; ++r) internal_round(x, r);
    QTCV_E_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = lazy(x[i]);
    QTCV_E_ROLLED
    for (int r = 0; r < 4; ++r) external_round<true>(st, r);
}

__device__ __forceinline__ void permute(State& st) {
    linear_layer(st);
    rounds(st);
}

// c_tgt bytes i … i+3 as a big-endian word.
__device__ __forceinline__ std::uint32_t target_word(int i) {
    return static_cast<std::uint32_t>(c_tgt[i]) << 24 | static_cast<std::uint32_t>(c_tgt[i + 1]) << 16 |
           static_cast<std::uint32_t>(c_tgt[i + 2]) << 8 | static_cast<std::uint32_t>(c_tgt[i + 3]);
}

// Hash bytes 32·half … 32·half + 31 (canonical elements 0-3, little-endian)
// against the same bytes of c_tgt, as byte strings: −1 below, 0 equal, 1 above.
__device__ __forceinline__ int compare_with_target(const State& st, int half) {
    QTCV_E_UNROLLED
    for (int k = 0; k < 4; ++k) {
        const Fe h = canonical(qp6_reduce(st[k]));
        const std::uint32_t words[2] = {byte_swap(h.lo), byte_swap(h.hi)};
        QTCV_E_UNROLLED
        for (int j = 0; j < 2; ++j) {
            const std::uint32_t t = target_word(32 * half + 8 * k + 4 * j);
            if (words[j] != t) return words[j] < t ? -1 : 1;
        }
    }
    return 0;
}

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
    QTCV_E_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = add(lazy(fe(c_mm[i])), fe(i / 4 == 1 ? 2 * v[i % 4] : v[i % 4]));

    QTCV_E_ROLLED
    for (int perm = 3; perm <= 4; ++perm) {
        if (perm == 4) {
            absorb_padding(st);
            linear_layer(st);
        }
        rounds(st);
    }
    const int order = compare_with_target(st, 0);
    if (order != 0) return order < 0;
    permute(st);
    return compare_with_target(st, 1) < 0;
}

}  // namespace

template <bool CHECK>
__global__ void __launch_bounds__(QTCV_E_MINE_THREADS, QTCV_E_MINE_MIN_BLOCKS)
    k_mine([[maybe_unused]] const std::uint64_t* __restrict__ mid, [[maybe_unused]] const std::uint8_t* __restrict__ base,
           [[maybe_unused]] std::uint64_t nonce_start, std::uint32_t iters,
           [[maybe_unused]] std::uint32_t* __restrict__ cand_count, [[maybe_unused]] std::uint64_t* __restrict__ cands,
           [[maybe_unused]] std::uint32_t cap, [[maybe_unused]] std::uint8_t* __restrict__ out) {
    const std::uint32_t gid = blockIdx.x * blockDim.x + threadIdx.x;
    if constexpr (CHECK) {
        if (gid >= iters) return;
        State st;
        QTCV_E_UNROLLED
        for (int i = 0; i < 12; ++i) st[i] = lazy(fe(load_ro(mid + i)));
        absorb(st, base + 32ull * gid);
        QTCV_E_ROLLED
        for (int perm = 3; perm <= 4; ++perm) {
            if (perm == 4) absorb_padding(st);
            permute(st);
        }
        QTCV_E_UNROLLED
        for (int k = 0; k < 4; ++k) store_le(out + 32ull * gid + 8 * k, canonical(qp6_reduce(st[k])));
    } else {
        std::uint64_t n = nonce_start + static_cast<std::uint64_t>(iters) * gid;
        for (std::uint32_t left = iters; left != 0; --left, ++n) {
            if (!meets_target(n)) continue;
            const std::uint32_t slot = atomicAdd(cand_count, 1u);
            if (slot < cap) cands[slot] = n;
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
    QTCV_E_ROLLED
    for (int block = 0; block < 2; ++block) {
        absorb(st, hdr_nhi + 32 * block);
        permute(st);
    }
    QTCV_E_UNROLLED
    for (int i = 0; i < 12; ++i) mid_out[i] = u64(canonical(qp6_reduce(st[i])));
}

__global__ void k_midstate_mm(const std::uint64_t* __restrict__ mid, const std::uint8_t* __restrict__ base,
                              std::uint64_t* __restrict__ mm_out) {
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    State st;
    QTCV_E_UNROLLED
    for (int i = 0; i < 12; ++i) st[i] = lazy(fe(load_ro(mid + i)));
    QTCV_E_UNROLLED
    for (int i = 0; i < 6; ++i) st[i] = add(st[i], load_word(base + 4 * i));
    linear_layer(st);
    QTCV_E_UNROLLED
    for (int i = 0; i < 12; ++i) mm_out[i] = u64(canonical(qp6_reduce(st[i])));
}

__global__ void k_hash_full(const std::uint8_t* __restrict__ in, std::uint8_t* __restrict__ out, std::int32_t n) {
    const std::uint32_t gid = blockIdx.x * blockDim.x + threadIdx.x;
    if (static_cast<std::int32_t>(gid) >= n) return;
    // Offsets in signed 32-bit arithmetic, like n.
    const std::uint8_t* src = in + static_cast<std::int32_t>(96u * gid);
    std::uint8_t* dst = out + static_cast<std::int32_t>(64u * gid);
    State st = {};
    QTCV_E_ROLLED
    for (int block = 0; block < 5; ++block) {
        if (block < 3)
            absorb(st, src + 32 * block);
        else if (block == 3)
            absorb_padding(st);
        permute(st);
        if (block >= 3) {
            QTCV_E_UNROLLED
            for (int k = 0; k < 4; ++k) store_le(dst + 32 * (block - 3) + 8 * k, canonical(qp6_reduce(st[k])));
        }
    }
}

}  // namespace qtcv_e
