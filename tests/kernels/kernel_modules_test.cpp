// Every kernel module's kernels, built as C++ against the CPU stand-in,
// checked against the host hash and the embedded oracle vectors: one typed
// suite, run once per module. Most kernels are driven one
// simulated thread at a time (the coordinates set here); the full hash and
// one mining batch also go through the stand-in's launch, on its thread pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <array>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "cuda/compact/arith.hpp"
#include "cuda/compact/kernels.hpp"
#include "cuda/energy/arith.hpp"
#include "cuda/energy/kernels.hpp"
#include "cuda/fast120/arith.hpp"
#include "cuda/fast120/kernels.hpp"
#include "cuda/fast86/arith.hpp"
#include "cuda/fast86/kernels.hpp"
#include "cuda/fast89/arith.hpp"
#include "cuda/fast89/kernels.hpp"
#include "cuda/hb89/arith.hpp"
#include "cuda/hb89/kernels.hpp"
#include "folded_constants.hpp"
#include "poseidon2-core/src/hash.hpp"
#include "src/selftest/vectors.hpp"
#include "tests/support/counter_hash.hpp"
#include "tests/support/reference_poseidon2.hpp"
#include "tests/support/target_cases.hpp"

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t P = 0xffffffff00000001ULL;
constexpr std::uint64_t EPS = 0xffffffffULL;

using Hash = std::array<std::uint8_t, 64>;

using qtc_forms::Fe;
using qtc_forms::Lazy;
using qtc_forms::Wide;

// What the suite needs of a module: its arithmetic, its five kernels and its
// constant symbols, all from the module's namespace `ns` (empty for the
// global namespace), its mining bound from `host_ns`, and its knob words.
#define KERNEL_MODULE(Name, ns, host_ns, ...)                                                    \
    struct Name {                                                                                \
        static constexpr const char* name = #Name;                                               \
        static constexpr unsigned MINE_THREADS = host_ns::MINE_THREADS;                          \
        static Fe reduce(Wide w) { return ns::reduce(w); }                                       \
        static Fe mul(Fe a, Fe b) { return ns::mul(a, b); }                                      \
        static Fe sqr(Fe a) { return ns::sqr(a); }                                               \
        static Fe mul_add(Fe a, Fe b, Fe s) { return ns::mul_add(a, b, s); }                     \
        static Fe sbox7(Fe a) { return ns::sbox7(a); }                                           \
        static constexpr auto k_mine = &ns::k_mine<false>;                                       \
        static constexpr auto k_check = &ns::k_mine<true>;                                       \
        static constexpr auto k_midstate = &ns::k_midstate;                                      \
        static constexpr auto k_midstate_mm = &ns::k_midstate_mm;                                \
        static constexpr auto k_hash_full = &ns::k_hash_full;                                    \
        static auto& c_mm() { return ns::c_mm; }                                                 \
        static auto& c_tgt() { return ns::c_tgt; }                                               \
        static auto& rc_int() { return ns::QP_RC_INT; }                                          \
        static auto& rc_ext_init() { return ns::QP_RC_EXT_INIT; }                                \
        static auto& rc_ext_term() { return ns::QP_RC_EXT_TERM; }                                \
        static auto& diag() { return ns::QP_DIAG; }                                              \
        static auto knob_words() { return std::array{__VA_ARGS__}; }                             \
    }

#define FOUR_KNOB_WORDS(ns) &ns::gl32::Wk, &ns::gl32v7::Wk, &ns::gl32v10::Wk, &ns::qp6::Wk

KERNEL_MODULE(Energy, qtcv_e, qtcv_e, FOUR_KNOB_WORDS(qtcv_e));
KERNEL_MODULE(Compact, qtcv_c, qtcv_c, FOUR_KNOB_WORDS(qtcv_c));
// Kernels and constants in the global namespace, no gl32v10::Wk.
KERNEL_MODULE(Hb89, , qtc_hb89, &::gl32::Wk, &::gl32v7::Wk, &::qp6::Wk);
// Three modules of one namespace, qtcv, told apart by their inline namespaces.
KERNEL_MODULE(Fast89, qtcv::fast89, qtcv::fast89, FOUR_KNOB_WORDS(qtcv::fast89));
KERNEL_MODULE(Fast120, qtcv::fast120, qtcv::fast120, FOUR_KNOB_WORDS(qtcv::fast120));
KERNEL_MODULE(Fast86, qtcv::fast86, qtcv::fast86, FOUR_KNOB_WORDS(qtcv::fast86));

using Modules = testing::Types<Energy, Compact, Hb89, Fast89, Fast120, Fast86>;

// The modules whose start state already carries QP_RC_EXT_INIT row 0.
template <typename M>
constexpr bool FOLDED = std::is_same_v<M, Fast89> || std::is_same_v<M, Fast86>;

struct ModuleName {
    template <typename M>
    static std::string GetName(int) {
        return M::name;
    }
};

template <typename M>
class ModuleArithmetic : public testing::Test {};
TYPED_TEST_SUITE(ModuleArithmetic, Modules, ModuleName);
template <typename M>
class ModuleConstants : public testing::Test {};
TYPED_TEST_SUITE(ModuleConstants, Modules, ModuleName);
template <typename M>
class ModuleKernels : public testing::Test {};
TYPED_TEST_SUITE(ModuleKernels, Modules, ModuleName);
template <typename M>
class ModuleMining : public testing::Test {};
TYPED_TEST_SUITE(ModuleMining, Modules, ModuleName);

const std::vector<SelftestVector>& vectors() {
    static const std::vector<SelftestVector> parsed = [] {
        auto v = parse_vectors(SELFTEST_VECTORS, EMBEDDED_VECTORS_LABEL);
        if (!v) throw std::runtime_error("embedded vectors do not parse");
        return *v;
    }();
    return parsed;
}

// Runs `body` once per thread of a one-dimensional grid, in order.
template <typename Body>
void run_grid(unsigned blocks, unsigned threads, Body body) {
    for (unsigned b = 0; b < blocks; ++b)
        for (unsigned t = 0; t < threads; ++t) {
            sim::coordinates = {dim3(t), dim3(b), dim3(threads), dim3(blocks)};
            body();
        }
}

void run_one(unsigned block, unsigned thread, unsigned blocks, unsigned threads, auto body) {
    sim::coordinates = {dim3(thread), dim3(block), dim3(threads), dim3(blocks)};
    body();
}

std::uint64_t mod_p(u128 v) { return static_cast<std::uint64_t>(v % P); }
u128 wide_value(Wide w) {
    return static_cast<u128>(static_cast<std::uint64_t>(w.p3) << 32 | w.p2) << 64 |
           (static_cast<std::uint64_t>(w.p1) << 32 | w.p0);
}
u128 lazy_value(Lazy l) {
    return static_cast<u128>(l.l2) << 64 | (static_cast<std::uint64_t>(l.l1) << 32 | l.l0);
}
std::uint64_t pow_mod(std::uint64_t x, int e) {
    std::uint64_t r = 1;
    for (int i = 0; i < e; ++i) r = mod_p(static_cast<u128>(r) * (x % P));
    return r;
}

using target_cases::filled;
using target_cases::plus_one;

// ---- the number forms ------------------------------------------------------

constexpr std::uint64_t EDGE[] = {
    0,
    1,
    2,
    3,
    EPS,
    EPS + 1,                // 2^32
    1ULL << 48,
    1ULL << 63,
    0x8000000080000000ULL,
    P - 1,
    P,
    P + 1,
    0xfffffffeffffffffULL,  // 2^64 − 2^32 − 1
    ~0ULL,
    0x123456789abcdef0ULL,
    0xc3b6c08e23ba9300ULL,  // QP_DIAG[0]
};

TYPED_TEST(ModuleArithmetic, ProductsAndSumsAreExact) {
    using namespace qtc_forms;
    using M = TypeParam;
    for (std::uint64_t a : EDGE)
        for (std::uint64_t b : EDGE) {
            SCOPED_TRACE(testing::Message() << std::hex << "a=" << a << " b=" << b);
            const u128 ab = static_cast<u128>(a) * b;
            EXPECT_TRUE(wide_value(mul_wide(fe(a), fe(b))) == ab);
            EXPECT_TRUE(wide_value(mul_add_wide(fe(a), fe(b), fe(a ^ b))) == ab + (a ^ b));
            EXPECT_EQ(mod_p(u64(M::mul(fe(a), fe(b)))), mod_p(ab));
            EXPECT_EQ(mod_p(u64(M::mul_add(fe(a), fe(b), fe(~b)))), mod_p(ab + ~b));
            const Lazy sum = add(add(lazy(fe(a)), fe(b)), Lazy{static_cast<std::uint32_t>(b), 0, 27});
            EXPECT_TRUE(lazy_value(sum) == static_cast<u128>(a) + b + static_cast<std::uint32_t>(b) + (u128{27} << 64));
        }
    for (std::uint64_t a : EDGE) {
        SCOPED_TRACE(testing::Message() << std::hex << "a=" << a);
        EXPECT_TRUE(wide_value(sqr_wide(fe(a))) == static_cast<u128>(a) * a);
        EXPECT_EQ(u64(canonical(fe(a))), a % P);
        EXPECT_EQ(mod_p(u64(M::sbox7(fe(a)))), pow_mod(a, 7));
    }
}

TYPED_TEST(ModuleArithmetic, ReductionsKeepTheResidue) {
    using namespace qtc_forms;
    using M = TypeParam;
    // 128-bit values around the folds of the reductions.
    const Wide wides[] = {
        {0, 0, 0, 0},
        {~0u, ~0u, ~0u, ~0u},
        {0, 0, 0, ~0u},            // p3 alone: X − Y borrows
        {0, 0, ~0u, 0},
        {0, ~0u, 1, 0},            // p1 + p2 carries
        {5, ~0u, ~0u, ~0u},
        {~0u, 0, ~0u, 1},
        {1, 0, 1, 0},
        {0xfffffffe, 0xffffffff, 0, 0},
        // The ε-multiply form: p2·ε carries out of 64 bits, with and without
        // a borrow from p3 + k afterwards.
        {~0u, ~0u, 1, 0},
        {~0u, ~0u, ~0u, 0},
        {0, 0, ~0u, ~0u},
        {0, 1, 0, ~0u},
        {~0u, ~0u, 2, ~0u},
    };
    for (const Wide& w : wides) {
        SCOPED_TRACE(testing::Message() << std::hex << w.p3 << ' ' << w.p2 << ' ' << w.p1 << ' ' << w.p0);
        EXPECT_EQ(mod_p(u64(M::reduce(w))), mod_p(wide_value(w)));
    }
    const std::uint32_t carries[] = {0, 1, 2, 27, 812, 0xffffu, 0xffffffffu};
    for (std::uint64_t low : EDGE)
        for (std::uint32_t l2 : carries) {
            const Lazy l{static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32), l2};
            SCOPED_TRACE(testing::Message() << std::hex << "low=" << low << " l2=" << l2);
            EXPECT_EQ(mod_p(u64(qtc_forms::reduce(l, 0xffffffffu))), mod_p(lazy_value(l)));
        }
}

TYPED_TEST(ModuleArithmetic, KnownAnswers) {
    using namespace qtc_forms;
    using M = TypeParam;
    struct Case {
        const char* what;
        std::uint64_t got;
        std::uint64_t want;
    };
    const Case cases[] = {
        {"(2^48)^2 is 2^96, that is −1", u64(canonical(M::sqr(fe(1ULL << 48)))), P - 1},
        {"(2^63)^2", u64(canonical(M::sqr(fe(1ULL << 63)))), 0xfffffffec0000001ULL},
        {"3·3 below 2^64 is itself", u64(M::mul(fe(3), fe(3))), 9},
        {"(p−1)^2 is 1", u64(canonical(M::mul(fe(P - 1), fe(P - 1)))), 1},
        {"p·p is 0", u64(canonical(M::mul(fe(P), fe(P)))), 0},
        {"canonical p", u64(canonical(fe(P))), 0},
        {"canonical p − 1", u64(canonical(fe(P - 1))), P - 1},
        {"canonical 2^64 − 1", u64(canonical(fe(~0ULL))), 0xfffffffeULL},
        {"byte swap", byte_swap(0x11223344u), 0x44332211u},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

// The forms only the folded rounds use: products with a lazy addend, the
// cheaper diagonal products, the sum by halves.
TEST(NumberForms, LazyAddendsShortCrossProductsAndSumsByHalves) {
    using namespace qtc_forms;
    const Lazy addends[] = {{0, 0, 0}, {~0u, ~0u, 0}, {~0u, ~0u, 15}, {1, 2, 3}, {0x89abcdefu, 0x01234567u, 11}};
    for (std::uint64_t a : EDGE)
        for (int i = 0; i < 12; ++i)
            for (const Lazy& s : addends) {
                SCOPED_TRACE(testing::Message() << std::hex << "a=" << a << " diag " << std::dec << i);
                const std::uint64_t d = poseidon2::QP_DIAG[i];
                const u128 want = static_cast<u128>(a) * d + lazy_value(s);
                EXPECT_TRUE(wide_value(mul_add_wide(fe(a), fe(d), s)) == want);
                const bool short_cross = (d & 0xffffffffu) + (d >> 32) < (1ULL << 32);
                EXPECT_EQ(short_cross, i == 0 || i == 2 || i == 6 || i == 10);
                if (short_cross) {
                    EXPECT_TRUE(wide_value(mul_add_wide_short_cross(fe(a), fe(d), s)) == want);
                }
            }
    const Fe words[][12] = {
        {fe(~0ULL), fe(~0ULL), fe(~0ULL), fe(~0ULL), fe(~0ULL), fe(~0ULL), fe(~0ULL), fe(~0ULL), fe(~0ULL), fe(~0ULL),
         fe(~0ULL), fe(~0ULL)},
        {fe(1), fe(P - 1), fe(P), fe(0), fe(EPS), fe(EPS + 1), fe(1ULL << 63), fe(3), fe(~0ULL), fe(0x123456789ULL),
         fe(2), fe(0xffffffff00000000ULL)},
    };
    for (const auto& x : words) {
        u128 want = 0;
        for (const Fe& e : x) want += u64(e);
        EXPECT_TRUE(lazy_value(sum_by_halves(x)) == want);
    }
}

// ---- the module image ------------------------------------------------------

// fast89 and fast86 carry the generated folded tables as constant symbols.
TEST(FoldedModules, CarryTheGeneratedTables) {
    using poseidon2::folded::QP_FOLD_INIT;
    using poseidon2::folded::QP_FOLD_TERM;
    using poseidon2::folded::QP_RC_INT_NEXT;
    struct Module {
        const char* name;
        const std::uint64_t* rc_int_next;
        const std::uint64_t* fold_init;
        const std::uint64_t* fold_term;
    };
    const Module modules[] = {
        {"fast89", qtcv::fast89::QP_RC_INT_NEXT.storage[0], qtcv::fast89::QP_FOLD_INIT.storage[0],
         qtcv::fast89::QP_FOLD_TERM.storage[0]},
        {"fast86", qtcv::fast86::QP_RC_INT_NEXT.storage[0], qtcv::fast86::QP_FOLD_INIT.storage[0],
         qtcv::fast86::QP_FOLD_TERM.storage[0]},
    };
    for (const Module& m : modules) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(std::memcmp(m.rc_int_next, QP_RC_INT_NEXT, 176), 0);
        EXPECT_EQ(std::memcmp(m.fold_init, QP_FOLD_INIT, 384), 0);
        EXPECT_EQ(std::memcmp(m.fold_term, QP_FOLD_TERM, 384), 0);
        EXPECT_EQ(m.rc_int_next[21], 0u);
        EXPECT_EQ(m.fold_init[0], 0x3b6c0020f252cbabULL);
        EXPECT_EQ(m.fold_term[0], 0x1e9114c6e9d0f302ULL);
        EXPECT_TRUE(std::all_of(m.fold_init + 36, m.fold_init + 48, [](std::uint64_t w) { return w == 0; }));
        EXPECT_TRUE(std::all_of(m.fold_term + 36, m.fold_term + 48, [](std::uint64_t w) { return w == 0; }));
    }
}

// The start state of one job from every module: fast89 and fast86 agree, and
// differ from the other four by exactly QP_RC_EXT_INIT row 0.
TEST(FoldedModules, StartStateDiffersByTheFirstRoundConstants) {
    std::uint64_t mid[12];
    std::uint8_t base[32];
    for (int i = 0; i < 12; ++i) mid[i] = 0x9e3779b97f4a7c15ULL * (i + 1);
    for (int i = 0; i < 32; ++i) base[i] = static_cast<std::uint8_t>(0xc1 * i);
    using Kernel = void (*)(const std::uint64_t*, const std::uint8_t*, std::uint64_t*);
    const Kernel plain[] = {qtcv_e::k_midstate_mm, qtcv_c::k_midstate_mm, ::k_midstate_mm, qtcv::fast120::k_midstate_mm};
    std::uint64_t f89[12], f86[12], want[12];
    run_one(0, 0, 1, 1, [&] {
        qtcv::fast89::k_midstate_mm(mid, base, f89);
        qtcv::fast86::k_midstate_mm(mid, base, f86);
    });
    for (Kernel k : plain) {
        std::uint64_t mm[12];
        run_one(0, 0, 1, 1, [&] { k(mid, base, mm); });
        for (int i = 0; i < 12; ++i) want[i] = reference::add(mm[i], poseidon2::QP_RC_EXT_INIT[0][i]);
        for (int i = 0; i < 12; ++i) {
            EXPECT_EQ(f89[i], want[i]) << i;
            EXPECT_EQ(f86[i], want[i]) << i;
        }
    }
}


TYPED_TEST(ModuleConstants, EveryDeviceStartsWithTheHostTables) {
    using M = TypeParam;
    for (int d = 0; d < sim::MAX_DEVICES; ++d) {
        SCOPED_TRACE(d);
        EXPECT_EQ(std::memcmp(M::rc_ext_init().storage[d], poseidon2::QP_RC_EXT_INIT, 384), 0);
        EXPECT_EQ(std::memcmp(M::rc_ext_term().storage[d], poseidon2::QP_RC_EXT_TERM, 384), 0);
        EXPECT_EQ(std::memcmp(M::diag().storage[d], poseidon2::QP_DIAG, 96), 0);
        EXPECT_EQ(std::memcmp(M::rc_int().storage[d], poseidon2::QP_RC_INT, 176), 0);
        for (auto* wk : M::knob_words())
            EXPECT_EQ(wk->storage[d][0], 0xffffffffu);
    }
}

// ---- whole hashes ----------------------------------------------------------

TYPED_TEST(ModuleKernels, HashFullGivesEveryVectorsHash) {
    using M = TypeParam;
    const auto& vs = vectors();
    ASSERT_EQ(vs.size(), 4096u);
    const int n = static_cast<int>(vs.size());
    std::vector<std::uint8_t> in(96 * vs.size());
    for (std::size_t i = 0; i < vs.size(); ++i) {
        std::memcpy(&in[96 * i], vs[i].header.data(), 32);
        std::memcpy(&in[96 * i + 32], vs[i].nonce.data(), 64);
    }
    // One block more than needed: its threads must write nothing.
    const unsigned blocks = (n + 127) / 128 + 1;
    std::vector<std::uint8_t> out(64 * 128 * blocks, 0xa5);
    const std::uint8_t* d_in = in.data();
    std::uint8_t* d_out = out.data();
    cudaStream_t st;
    ASSERT_EQ(cudaStreamCreateWithFlags(&st, cudaStreamNonBlocking), cudaSuccess);
    QTC_LAUNCH(M::k_hash_full, 0, dim3(blocks), dim3(128), st, d_in, d_out, n);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(st), cudaSuccess);
    cudaStreamDestroy(st);

    int wrong = 0;
    for (std::size_t i = 0; i < vs.size(); ++i)
        if (std::memcmp(&out[64 * i], vs[i].hash.data(), 64) != 0 && wrong++ < 3) ADD_FAILURE() << "vector " << i;
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(std::all_of(out.begin() + 64 * n, out.end(), [](std::uint8_t b) { return b == 0xa5; }));
}

TYPED_TEST(ModuleKernels, HashFullWithNoItemsWritesNothing) {
    using M = TypeParam;
    const std::vector<std::uint8_t> in(96 * 4, 7);
    for (int n : {0, -1}) {
        std::vector<std::uint8_t> out(64 * 4, 0xa5);
        run_grid(1, 4, [&] { M::k_hash_full(in.data(), out.data(), n); });
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xa5; })) << n;
    }
}

TYPED_TEST(ModuleKernels, HashFullOfRandomInputsIsTheHostHash) {
    using M = TypeParam;
    constexpr int n = 1000;
    std::mt19937_64 rng(0x51a7e5eedULL);
    std::vector<std::uint8_t> in(96 * n);
    for (auto& b : in) b = static_cast<std::uint8_t>(rng());
    // Words at and above p in some inputs, which only the canonical form folds.
    for (int i = 0; i < n; i += 7) std::fill_n(&in[96 * i + 8 * (i % 12)], 8, 0xff);
    std::vector<std::uint8_t> out(64 * n);
    run_grid((n + 127) / 128, 128, [&] { M::k_hash_full(in.data(), out.data(), n); });
    int wrong = 0;
    for (int i = 0; i < n; ++i) {
        std::uint8_t one[96];
        std::memcpy(one, &in[96 * i], 96);
        const Hash want = poseidon2::poseidon2_hash_bytes(one);
        if (std::memcmp(&out[64 * i], want.data(), 64) != 0 && wrong++ < 3) ADD_FAILURE() << "input " << i;
    }
    EXPECT_EQ(wrong, 0);
}

// Every vector along the mining kernels' check path: its midstate from
// k_midstate, then its first 32 hash bytes from k_mine<true>.
TYPED_TEST(ModuleKernels, MidstateAndCheckGiveEveryVectorsHash) {
    using M = TypeParam;
    int wrong = 0;
    for (std::size_t i = 0; i < vectors().size(); ++i) {
        const SelftestVector& v = vectors()[i];
        std::uint8_t hdr_nhi[64];
        std::memcpy(hdr_nhi, v.header.data(), 32);
        std::memcpy(hdr_nhi + 32, v.nonce.data(), 32);
        std::uint64_t mid[12];
        run_one(0, 0, 1, 1, [&] { M::k_midstate(hdr_nhi, mid); });

        std::uint8_t header[32], high[32];
        std::memcpy(header, v.header.data(), 32);
        std::memcpy(high, v.nonce.data(), 32);
        const poseidon2::State host = poseidon2::poseidon2_midstate(header, high);
        std::uint8_t first_half[32];
        run_one(0, 0, 1, 128, [&] {
            M::k_check(mid, v.nonce.data() + 32, 0, 1, nullptr, nullptr, 0, first_half);
        });

        bool ok = std::memcmp(first_half, v.hash.data(), 32) == 0;
        for (int k = 0; k < 12; ++k) ok = ok && mid[k] == host[k] % P;
        if (!ok && wrong++ < 3) ADD_FAILURE() << "vector " << i;
    }
    EXPECT_EQ(wrong, 0);
}

TYPED_TEST(ModuleKernels, MidstateKernelsWorkInTheFirstThreadOnly) {
    using M = TypeParam;
    std::uint8_t hdr_nhi[64] = {1, 2, 3};
    std::uint64_t mid[12] = {5, 6, 7};
    const std::uint8_t base[32] = {9};
    const std::pair<unsigned, unsigned> others[] = {{0, 1}, {1, 0}, {1, 1}};
    for (auto [block, thread] : others) {
        std::uint64_t out[12];
        std::fill(std::begin(out), std::end(out), 0xa5a5a5a5a5a5a5a5ULL);
        run_one(block, thread, 2, 2, [&] {
            M::k_midstate(hdr_nhi, out);
            M::k_midstate_mm(mid, base, out);
        });
        EXPECT_TRUE(std::all_of(std::begin(out), std::end(out), [](std::uint64_t w) { return w == 0xa5a5a5a5a5a5a5a5ULL; }))
            << block << ',' << thread;
    }
}

TYPED_TEST(ModuleKernels, StartStateIsTheLinearLayerOfMidstateAndBase) {
    using M = TypeParam;
    std::uint64_t ext[12][12];
    reference::external_matrix(ext);
    std::array<std::uint8_t, 32> ramp{};
    for (int i = 0; i < 32; ++i) ramp[i] = static_cast<std::uint8_t>(0xf0 + 3 * i);
    struct Case {
        const char* what;
        std::uint64_t mid[12];
        std::array<std::uint8_t, 32> base;
    };
    const Case cases[] = {
        {"small words", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, ramp},
        {"words at and above p", {~0ULL, P, P - 1, ~0ULL, P + 5, ~0ULL, ~0ULL, P, ~0ULL, ~0ULL, P - 1, ~0ULL}, ramp},
        // Element 0 of the layer is then exactly p, which only the canonical form turns into 0.
        {"p in the last element", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, P}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reference::State s;
        for (int i = 0; i < 12; ++i) {
            std::uint32_t word = 0;
            if (i < 6) std::memcpy(&word, c.base.data() + 4 * i, 4);
            s[i] = reference::add(c.mid[i], word);
        }
        reference::State want = reference::mat_mul(ext, s);
        if (FOLDED<M>)
            for (int i = 0; i < 12; ++i) want[i] = reference::add(want[i], poseidon2::QP_RC_EXT_INIT[0][i]);
        std::uint64_t mm[12];
        run_one(0, 0, 1, 1, [&] { M::k_midstate_mm(c.mid, c.base.data(), mm); });
        for (int i = 0; i < 12; ++i) EXPECT_EQ(mm[i], want[i]) << i;
    }
}

TYPED_TEST(ModuleKernels, CheckCoversItsItemsAndNoMore) {
    using M = TypeParam;
    const SelftestVector& v = vectors()[0];
    std::uint8_t header[32], high[32];
    std::memcpy(header, v.header.data(), 32);
    std::memcpy(high, v.nonce.data(), 32);
    const poseidon2::State host_mid = poseidon2::poseidon2_midstate(header, high);
    const std::uint64_t* mid = host_mid.data();  // not canonical: the kernel folds it

    const std::uint32_t n = 129;
    std::vector<std::uint8_t> lows(32 * n);
    for (std::uint32_t i = 0; i < n; ++i) std::memcpy(&lows[32 * i], vectors()[i].nonce.data() + 32, 32);
    std::vector<std::uint8_t> out(32 * 256, 0xa5);
    run_grid(2, 128, [&] { M::k_check(mid, lows.data(), 0, n, nullptr, nullptr, 0, out.data()); });

    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint8_t low[32];
        std::memcpy(low, &lows[32 * i], 32);
        std::uint64_t words[8];
        poseidon2::poseidon2_hash_from_midstate(words, host_mid, low);
        const Hash want = poseidon2::hash_words_to_bytes(words);
        ASSERT_EQ(std::memcmp(&out[32 * i], want.data(), 32), 0) << "item " << i;
    }
    EXPECT_EQ(std::memcmp(&out[0], v.hash.data(), 32), 0);
    EXPECT_TRUE(std::all_of(out.begin() + 32 * n, out.end(), [](std::uint8_t b) { return b == 0xa5; }));
}

// ---- mining ----------------------------------------------------------------

// One job installed as the host layer does it: the midstate and the start
// state from the kernels, c_mm and c_tgt written into device 0's copies.
template <typename M>
struct Job {
    Bytes32 header;
    Bytes64 nonce;  // bytes 56-63 are replaced by each counter

    explicit Job(const SelftestVector& v) : header(v.header), nonce(v.nonce) {
        std::uint8_t hdr_nhi[64];
        std::memcpy(hdr_nhi, header.data(), 32);
        std::memcpy(hdr_nhi + 32, nonce.data(), 32);
        std::uint64_t mid[12], mm[12];
        run_one(0, 0, 1, 1, [&] { M::k_midstate(hdr_nhi, mid); });
        run_one(0, 0, 1, 1, [&] { M::k_midstate_mm(mid, nonce.data() + 32, mm); });
        std::memcpy(M::c_mm().storage[0], mm, 96);
    }

    static void target(const Hash& t) { std::memcpy(M::c_tgt().storage[0], t.data(), 64); }

    Hash host_hash(std::uint64_t counter) const { return counter_hash(header, nonce, counter); }

    std::uint64_t counter() const { return nonce_counter(nonce); }
};

struct Batch {
    std::uint32_t count = 0;
    std::vector<std::uint64_t> cands;
};

template <typename M>
Batch mine(unsigned blocks, unsigned threads, std::uint64_t start, std::uint32_t iters, std::uint32_t cap) {
    Batch b;
    b.cands.assign(cap + 4, 0xa5a5a5a5a5a5a5a5ULL);
    run_grid(blocks, threads, [&] {
        M::k_mine(nullptr, nullptr, start, iters, &b.count, b.cands.data(), cap, nullptr);
    });
    return b;
}

std::set<std::uint64_t> stored(const Batch& b, std::uint32_t cap) {
    return {b.cands.begin(), b.cands.begin() + std::min(b.count, cap)};
}

TYPED_TEST(ModuleMining, AllOnesTargetTakesEveryCounterUpToTheCapacity) {
    using M = TypeParam;
    const Job<M> job(vectors()[0]);
    Job<M>::target(filled(0xff));
    std::set<std::uint64_t> all;
    for (std::uint64_t c = 1000; c < 1024; ++c) all.insert(c);

    // On the stand-in's thread pool: 24 candidates counted, 5 stored.
    std::uint32_t count = 0;
    std::vector<std::uint64_t> cands(8, 0xa5a5a5a5a5a5a5a5ULL);
    std::uint32_t* d_count = &count;
    std::uint64_t* d_cands = cands.data();
    cudaStream_t st;
    ASSERT_EQ(cudaStreamCreateWithFlags(&st, cudaStreamNonBlocking), cudaSuccess);
    QTC_LAUNCH(M::k_mine, M::MINE_THREADS, dim3(2), dim3(4), st, nullptr, nullptr,
               std::uint64_t{1000}, 3u, d_count, d_cands, 5u, nullptr);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(st), cudaSuccess);
    cudaStreamDestroy(st);
    EXPECT_EQ(count, 24u);
    const std::set<std::uint64_t> five(cands.begin(), cands.begin() + 5);
    EXPECT_EQ(five.size(), 5u);
    EXPECT_TRUE(std::includes(all.begin(), all.end(), five.begin(), five.end()));
    EXPECT_EQ(cands[5], 0xa5a5a5a5a5a5a5a5ULL);

    // One thread at a time: thread gid takes 1000 + 3·gid … 1002 + 3·gid, in order.
    std::uint32_t seq_count = 0;
    std::vector<std::uint64_t> seq(24);
    for (unsigned gid = 0; gid < 8; ++gid) {
        run_one(gid / 4, gid % 4, 2, 4, [&] {
            M::k_mine(nullptr, nullptr, 1000, 3, &seq_count, seq.data(), 24, nullptr);
        });
        ASSERT_EQ(seq_count, 3 * (gid + 1));
        for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(seq[3 * gid + i], 1000 + 3 * gid + i);
    }
}

TYPED_TEST(ModuleMining, CandidatesAreExactlyTheCountersBelowTheTarget) {
    using M = TypeParam;
    const Job<M> job(vectors()[1]);
    struct Case {
        const char* what;
        std::uint64_t start;
        unsigned blocks, threads;
        std::uint32_t iters;
        Hash target;
    };
    const Case cases[] = {
        {"about half", 1000, 2, 4, 3, [] { Hash t{}; t[0] = 0x80; return t; }()},
        {"past the top", ~0ULL - 2, 1, 2, 3, plus_one(job.host_hash(0))},  // 2^64 − 3 … 2
        {"one in the middle", 5000, 1, 4, 4, plus_one(job.host_hash(5006))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Job<M>::target(c.target);
        std::set<std::uint64_t> want;
        const std::uint64_t covered = std::uint64_t{c.blocks} * c.threads * c.iters;
        for (std::uint64_t k = 0; k < covered; ++k)
            if (job.host_hash(c.start + k) < c.target) want.insert(c.start + k);
        const Batch b = mine<M>(c.blocks, c.threads, c.start, c.iters, 64);
        EXPECT_EQ(b.count, want.size());
        EXPECT_EQ(stored(b, 64), want);
    }
}

TYPED_TEST(ModuleMining, TargetIsComparedStrictlyOverAllSixtyFourBytes) {
    using M = TypeParam;
    const auto& vs = vectors();
    const auto v = std::find_if(vs.begin(), vs.end(), [](const SelftestVector& s) { return target_cases::has_room(s.hash); });
    ASSERT_NE(v, vs.end());
    const Job<M> job(*v);
    const std::uint64_t n = job.counter();
    ASSERT_EQ(job.host_hash(n), v->hash);
    for (const target_cases::Case& c : target_cases::around(v->hash)) {
        SCOPED_TRACE(c.what);
        Job<M>::target(c.target);
        const Batch b = mine<M>(1, 1, n, 1, 4);
        ASSERT_EQ(b.count, c.found ? 1u : 0u);
        if (c.found) {
            EXPECT_EQ(b.cands[0], n);
        }
    }
}

TYPED_TEST(ModuleMining, NoIterationsDoNothing) {
    using M = TypeParam;
    const Job<M> job(vectors()[0]);
    Job<M>::target(filled(0xff));
    const Batch b = mine<M>(2, 4, 1000, 0, 8);
    EXPECT_EQ(b.count, 0u);
    EXPECT_TRUE(std::all_of(b.cands.begin(), b.cands.end(), [](std::uint64_t c) { return c == 0xa5a5a5a5a5a5a5a5ULL; }));
}

}  // namespace
