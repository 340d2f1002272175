// The number forms' own PTX: the test kernels (number_forms_kernels.cu),
// built by nvcc with each module build's flags and architecture, run in the
// interpreter on a table of edge operands and checked word for word against
// the host copies. The table reaches every rare correction, which the hash
// data of the module checks almost never does: a copy of the PTX with one of
// them cut out must give other results, and how many results change is how
// often the correction fired.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "poseidon2-core/src/constants.hpp"
#include "tests/ptx/interpreter/arguments.hpp"
#include "tests/ptx/interpreter/machine.hpp"
#include "tests/ptx/interpreter/parser.hpp"
#include "tests/ptx/number_forms_applied.hpp"
#include "tests/ptx/ptx_builds.hpp"
#include "tests/ptx/rare_corrections.hpp"

namespace {

using forms_test::Fe;
using forms_test::Lazy;
using forms_test::Operands;
using forms_test::Results;
using forms_test::Twelve;

constexpr std::uint64_t P = 0xffffffff00000001ULL;
constexpr std::uint64_t EPS = 0xffffffffULL;

Fe fe(std::uint64_t v) { return qtc_forms::fe(v); }
Lazy lazy(std::uint64_t low, std::uint32_t l2) {
    return {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(low >> 32), l2};
}

// Words at and above p; multiples of 2^48, whose products are multiples of
// 2^96 and so make every product reduction's subtraction borrow (X = 0 <
// Y = p3, and L = 0 < p3); ε and 2^32 around the folds; two of the
// diagonal's words whose halves sum below 2^32 (the short cross product)
// and one whose halves do not; one without structure.
constexpr std::uint64_t VALUES[] = {
    0,
    1,
    2,
    EPS,
    EPS + 1,
    1ULL << 48,
    3ULL << 48,
    0xffffULL << 48,
    1ULL << 63,
    P - 1,
    P,
    P + 1,
    0xfffffffeffffffffULL,
    ~0ULL,
    poseidon2::QP_DIAG[0],
    poseidon2::QP_DIAG[1],
    poseidon2::QP_DIAG[2],
    0x123456789abcdef0ULL,
};

// Lazy sums: low word and carry word. The qp6 reduction adds l2·ε to the
// low word and, when that carries out of 64 bits, ε once more: 2^64 − 1 + ε
// and 2^64 − 1 + (2^32 − 1)·ε carry, p + ε carries to exactly 2^64, and
// p − 1 + ε is the largest sum that does not.
const Lazy LAZIES[] = {
    lazy(0, 0), lazy(~0ULL, 0), lazy(~0ULL, 1), lazy(P, 1), lazy(P - 1, 1), lazy(~0ULL, 0xffffffffu),
    lazy(0x0123456789abcdefULL, 11),
};

std::vector<Operands> operand_table() {
    std::vector<Operands> table;
    for (std::uint64_t a : VALUES)
        for (std::uint64_t b : VALUES)
            for (const Lazy& s : LAZIES) table.push_back({fe(a), fe(b), s, 0xffffffffu});
    return table;
}

std::vector<Twelve> twelve_table() {
    std::vector<Twelve> table;
    constexpr std::uint64_t ALL_ALIKE[] = {~0ULL, P, P - 1, 1ULL << 63};
    for (std::uint64_t v : ALL_ALIKE)
        table.push_back({{fe(v), fe(v), fe(v), fe(v), fe(v), fe(v), fe(v), fe(v), fe(v), fe(v), fe(v), fe(v)}});
    Twelve mixed;
    for (int i = 0; i < 12; ++i) mixed.x[i] = fe(VALUES[(5 * i + 3) % std::size(VALUES)]);
    table.push_back(mixed);
    return table;
}

// One thread a case, 128 to a block, each given its input and output
// records and nothing else.
template <typename In, typename Out>
std::vector<Out> run_kernel(const ptx::Kernel& kernel, const std::vector<In>& in) {
    std::vector<Out> out(in.size());
    const auto n = static_cast<std::uint32_t>(in.size());
    const ptx::Argument args[] = {ptx::Argument::of(in.data()), ptx::Argument::of(out.data()), ptx::Argument::of(n)};
    const std::vector<std::uint8_t> params = ptx::lay_out_params(kernel, args);
    const ptx::Buffer buffers[] = {
        {reinterpret_cast<std::uintptr_t>(in.data()), reinterpret_cast<std::uintptr_t>(in.data() + n)},
        {reinterpret_cast<std::uintptr_t>(out.data()), reinterpret_cast<std::uintptr_t>(out.data() + n)}};
    const std::vector<std::uint8_t> no_constants;
    for (std::uint32_t i = 0; i < n; ++i) {
        ptx::ThreadPlace place;
        place.tid.x = i % 128;
        place.ntid.x = 128;
        place.ctaid.x = i / 128;
        place.nctaid.x = (n + 127) / 128;
        ptx::run_thread(kernel, {params, no_constants, buffers}, place);
    }
    return out;
}

const ptx::Kernel& kernel_named(const ptx::Program& program, std::string_view name) {
    for (const ptx::Kernel& k : program.kernels)
        if (k.name.find(name) != std::string::npos) return k;
    throw std::runtime_error("the forms PTX has no kernel " + std::string(name));
}

template <typename T>
bool same(const T& x, const T& y) {
    return std::memcmp(&x, &y, sizeof(T)) == 0;
}

// The reduced words of a case that differ: the qp6 reduction's and the
// nine product reductions'.
int differing_reductions(const Results& got, const Results& want) {
    int n = same(got.qp6, want.qp6) ? 0 : 1;
    for (int r = 0; r < forms_test::REDUCTIONS; ++r)
        for (int p = 0; p < forms_test::PRODUCTS; ++p) n += same(got.reduced[r][p], want.reduced[r][p]) ? 0 : 1;
    return n;
}

bool short_cross_applies(const Operands& in) { return std::uint64_t{in.b.lo} + in.b.hi < (1ULL << 32); }

// Everything but the reductions: the sums, the canonical word, the products.
bool sums_and_products_agree(const Operands& in, const Results& got, const Results& want) {
    return same(got.sum, want.sum) && same(got.lazy_sum, want.lazy_sum) && same(got.canonical, want.canonical) &&
           same(got.wide, want.wide) && (!short_cross_applies(in) || same(got.short_cross, want.short_cross));
}

class NumberFormsPtx : public testing::TestWithParam<PtxBuild> {
protected:
    std::string ptx() const { return read_ptx(GetParam().forms_ptx_path); }
    static std::vector<Results> host_results(const std::vector<Operands>& table) {
        std::vector<Results> want;
        for (const Operands& in : table) want.push_back(forms_test::apply(in));
        return want;
    }
};

TEST_P(NumberFormsPtx, EveryFormMatchesItsHostCopyOnTheEdges) {
    const ptx::Program program = ptx::parse(ptx());
    const std::vector<Operands> table = operand_table();
    const std::vector<Results> want = host_results(table);
    const auto got = run_kernel<Operands, Results>(kernel_named(program, "k_number_forms"), table);
    int wrong = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const bool agree =
            sums_and_products_agree(table[i], got[i], want[i]) && differing_reductions(got[i], want[i]) == 0;
        if (!agree && wrong++ < 3)
            ADD_FAILURE() << std::hex << "a " << qtc_forms::u64(table[i].a) << ", b " << qtc_forms::u64(table[i].b)
                          << ", s " << table[i].s.l2 << ':' << table[i].s.l1 << ':' << table[i].s.l0;
    }
    EXPECT_EQ(wrong, 0) << "cases in all differ";

    const std::vector<Twelve> twelve = twelve_table();
    const auto sums = run_kernel<Twelve, Lazy>(kernel_named(program, "k_sum_by_halves"), twelve);
    for (std::size_t i = 0; i < twelve.size(); ++i)
        EXPECT_TRUE(same(sums[i], qtc_forms::sum_by_halves(twelve[i].x))) << "twelve elements, row " << i;
}

// Each correction cut out changes reduced words and nothing else; the
// number changed is the number of times it fired on the table.
TEST_P(NumberFormsPtx, EveryRareCorrectionFiresAndItsCutIsCaught) {
    const std::string text = ptx();
    const std::vector<Operands> table = operand_table();
    const std::vector<Results> want = host_results(table);
    for (const ptx_corrections::Correction& c : ptx_corrections::rare_corrections()) {
        SCOPED_TRACE(c.name);
        const ptx_corrections::Cut cut = ptx_corrections::cut_out(text, c);
        ASSERT_EQ(cut.lines, std::string_view(c.form) == "reduce" ? 1 : forms_test::PRODUCTS)
            << "the forms PTX holds the correction once a reduction it makes";
        const ptx::Program program = ptx::parse(cut.text);
        const auto got = run_kernel<Operands, Results>(kernel_named(program, "k_number_forms"), table);
        int fired = 0;
        bool only_reductions = true;
        for (std::size_t i = 0; i < table.size(); ++i) {
            fired += differing_reductions(got[i], want[i]);
            only_reductions = only_reductions && sums_and_products_agree(table[i], got[i], want[i]);
        }
        EXPECT_GT(fired, 0) << "the table never reaches it";
        EXPECT_TRUE(only_reductions);
        RecordProperty(c.name, fired);
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, NumberFormsPtx, testing::ValuesIn(ptx_builds().begin(), ptx_builds().end()),
                         [](const auto& test) { return build_name(test.param); });

}  // namespace
