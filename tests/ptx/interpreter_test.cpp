// The PTX interpreter on hand-written snippets with answers worked out from
// the PTX ISA's definitions: carry chains, prmt, shifts and their clamping,
// funnel shifts, bfi, setp and selp, cvt, vector moves, atomics, loads;
// and the faults and refusals, each naming its line.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/ptx/interpreter/arguments.hpp"
#include "tests/ptx/interpreter/error.hpp"
#include "tests/ptx/interpreter/machine.hpp"
#include "tests/ptx/interpreter/parser.hpp"

namespace {

__extension__ typedef unsigned __int128 u128;

using Words = std::array<std::uint64_t, 16>;

// A kernel around `body`: %rd15 points at 16 output words (zero), %rd13 and
// %rd14 hold the inputs x and y. Its body starts on line 12.
std::string kernel_text(std::string_view body) {
    return std::string(R"(.version 8.0
.target sm_90
.address_size 64
.const .align 8 .b8 table[16] = {1, 2, 3, 4, 5, 6, 7, 8, 0x81, 0xff, 0, 0, 0, 0, 0, 0x80};
.visible .entry snippet(.param .u64 out, .param .u64 x, .param .u64 y)
{
	.reg .pred %p<16>;
	.reg .b16 %rs<16>;
	.reg .b32 %r<64>;
	.reg .b64 %rd<16>;
	ld.param.u64 %rd15, [out]; ld.param.u64 %rd13, [x]; ld.param.u64 %rd14, [y];
)") + std::string(body) + "\n\tret;\n}\n";
}

// One thread of the program's kernel at `place`, writing into `out`.
void run_thread(const ptx::Program& program, Words& out, const ptx::ThreadPlace& place, std::uint64_t x = 0,
                std::uint64_t y = 0) {
    const ptx::Argument args[] = {ptx::Argument::of(out.data()), ptx::Argument::of(x), ptx::Argument::of(y)};
    const std::vector<std::uint8_t> params = ptx::lay_out_params(program.kernels.at(0), args);
    const ptx::Buffer buffers[] = {{reinterpret_cast<std::uintptr_t>(out.data()),
                                    reinterpret_cast<std::uintptr_t>(out.data() + out.size())}};
    ptx::run_thread(program.kernels.at(0), {params, program.constant_image, buffers}, place);
}

Words run(std::string_view body, std::uint64_t x = 0, std::uint64_t y = 0) {
    Words out{};
    run_thread(ptx::parse(kernel_text(body)), out, {}, x, y);
    return out;
}

struct Snippet {
    const char* what;
    const char* body;
    std::vector<std::uint64_t> want;  // output words 0, 1, …
};

void expect_snippets(std::initializer_list<Snippet> snippets) {
    for (const Snippet& s : snippets) {
        SCOPED_TRACE(s.what);
        const Words out = run(s.body);
        for (std::size_t i = 0; i < s.want.size(); ++i) EXPECT_EQ(out[i], s.want[i]) << std::hex << "word " << i;
    }
}

TEST(PtxInstructions, CarryChainsCarryAndBorrow) {
    expect_snippets({
        {"add.cc carries into addc.cc, which carries on; addc ends the chain",
         "add.cc.u32 %r1, 0xffffffff, 1; addc.cc.u32 %r2, 0xffffffff, 0; addc.u32 %r3, 5, 0;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;",
         {0, 0, 6}},
        {"no carry out: addc adds nothing",
         "add.cc.u32 %r1, 7, 8; addc.u32 %r2, 1, 1; st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {15, 2}},
        {"sub.cc borrows; subc.cc subtracts the borrow and borrows again; subc ends",
         "sub.cc.u32 %r1, 0, 1; subc.cc.u32 %r2, 5, 5; subc.u32 %r3, 10, 0;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;",
         {0xffffffff, 0xffffffff, 9}},
        {"no borrow: subc subtracts nothing",
         "sub.cc.u32 %r1, 5, 3; subc.u32 %r2, 10, 0; st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {2, 10}},
        {"the carry out of a sum of two 32-bit words",
         "add.cc.u32 %r1, 0xffffffff, 0xffffffff; addc.u32 %r2, 0, 0;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {0xfffffffe, 1}},
        {"mad.lo.cc, madc.hi.cc and madc.hi carry through the halves of (2^32-1)^2",
         "mov.u32 %r9, 0xffffffff;"
         "mad.lo.cc.u32 %r1, %r9, %r9, %r9; madc.hi.cc.u32 %r2, %r9, %r9, 0; madc.hi.u32 %r3, %r9, %r9, 1;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;",
         {0, 0xffffffff, 0xffffffff}},
        {"addc without .cc leaves the flag: a later addc.cc takes the same carry",
         "add.cc.u32 %r1, 0xffffffff, 1; addc.u32 %r2, 7, 0; addc.cc.u32 %r3, 0xffffffff, 0; addc.u32 %r4, 0, 0;"
         "st.global.u32 [%rd15], %r2; st.global.u32 [%rd15+8], %r3; st.global.u32 [%rd15+16], %r4;",
         {8, 0, 1}},
        {"subc without .cc leaves the borrow for the next subc",
         "sub.cc.u32 %r1, 0, 1; subc.u32 %r2, 7, 0; subc.u32 %r3, 7, 1;"
         "st.global.u32 [%rd15], %r2; st.global.u32 [%rd15+8], %r3;",
         {6, 5}},
        {"mad.hi.cc takes no carry in but carries out; madc.lo.cc takes it",
         "mov.u32 %r9, 0xffffffff; add.cc.u32 %r8, %r9, 1;"
         "mad.hi.cc.u32 %r1, %r9, %r9, 2; madc.lo.cc.u32 %r2, %r9, %r9, 0xffffffff; addc.u32 %r3, 0, 0;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;",
         {0, 1, 1}},
    });
}

// The full product of two 64-bit words from their 32-bit halves, as the
// kernels' mul_wide chain forms it.
TEST(PtxInstructions, ProductChainGivesTheFullProduct) {
    const char* chain =
        "cvt.u32.u64 %r1, %rd13; shr.u64 %rd1, %rd13, 32; cvt.u32.u64 %r2, %rd1;"
        "cvt.u32.u64 %r3, %rd14; shr.u64 %rd2, %rd14, 32; cvt.u32.u64 %r4, %rd2;"
        "mul.lo.u32 %r5, %r1, %r4; mul.hi.u32 %r6, %r1, %r4;"
        "mad.lo.cc.u32 %r5, %r2, %r3, %r5; madc.hi.cc.u32 %r6, %r2, %r3, %r6; addc.u32 %r7, 0, 0;"
        "mad.lo.cc.u32 %r10, %r1, %r3, 0; madc.hi.cc.u32 %r11, %r1, %r3, %r5;"
        "madc.lo.cc.u32 %r12, %r2, %r4, %r6; madc.hi.u32 %r13, %r2, %r4, %r7;"
        "mov.b64 %rd3, {%r10, %r11}; mov.b64 %rd4, {%r12, %r13};"
        "st.global.u64 [%rd15], %rd3; st.global.u64 [%rd15+8], %rd4;";
    const std::uint64_t values[] = {0, 1, 0xffffffff, 0x100000000, 0xffffffff00000001, ~0ULL, 0x8000000080000000,
                                    0x123456789abcdef0};
    for (std::uint64_t x : values)
        for (std::uint64_t y : values) {
            const Words out = run(chain, x, y);
            const u128 product = static_cast<u128>(x) * y;
            EXPECT_EQ(out[0], static_cast<std::uint64_t>(product)) << std::hex << x << " * " << y;
            EXPECT_EQ(out[1], static_cast<std::uint64_t>(product >> 64)) << std::hex << x << " * " << y;
        }
}

TEST(PtxInstructions, PrmtSelectsBytesAndReplicatesSigns) {
    expect_snippets({
        {"0x0123 reverses the bytes", "prmt.b32 %r1, 0x11223344, 0, 0x0123; st.global.u32 [%rd15], %r1;",
         {0x44332211}},
        {"selectors 4-7 take b's bytes",
         "prmt.b32 %r1, 0x44332211, 0x88776655, 0x7531; st.global.u32 [%rd15], %r1;", {0x88664422}},
        {"a selector with bit 3 set replicates the byte's sign",
         "prmt.b32 %r1, 0x00007f80, 0, 0x9898; st.global.u32 [%rd15], %r1;", {0x00ff00ff}},
        {"only the selector's low 16 bits count",
         "prmt.b32 %r1, 0x11223344, 0, 0xffff0123; st.global.u32 [%rd15], %r1;", {0x44332211}},
    });
}

TEST(PtxInstructions, ShiftAmountsClampToTheWidth) {
    expect_snippets({
        {"shl.b32",
         "shl.b32 %r1, 1, 31; shl.b32 %r2, 1, 32; shl.b32 %r3, 1, 0xffffffff;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;",
         {0x80000000, 0, 0}},
        {"shr.u32 fills with zeros, shr.s32 with the sign",
         "shr.u32 %r1, 0x80000000, 40; shr.s32 %r2, 0x80000000, 40; shr.s32 %r3, 0x80000000, 4;"
         "shr.s32 %r4, 0x40000000, 40;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;"
         "st.global.u32 [%rd15+24], %r4;",
         {0, 0xffffffff, 0xf8000000, 0}},
        {"64-bit shifts take a 32-bit amount",
         "shl.b64 %rd1, 1, 63; shl.b64 %rd2, 1, 64; shr.u64 %rd3, 0x8000000000000000, 63;"
         "shr.s64 %rd4, 0x8000000000000000, 100;"
         "st.global.u64 [%rd15], %rd1; st.global.u64 [%rd15+8], %rd2; st.global.u64 [%rd15+16], %rd3;"
         "st.global.u64 [%rd15+24], %rd4;",
         {0x8000000000000000, 0, 1, ~0ULL}},
    });
}

TEST(PtxInstructions, FunnelShiftsClampOrWrap) {
    const auto shf = [](const char* op, const char* n) {
        return std::string("mov.u32 %r1, 0x89abcdef; mov.u32 %r2, 0x01234567; ") + op + " %r3, %r1, %r2, " + n +
               "; st.global.u32 [%rd15], %r3;";
    };
    const std::string l4 = shf("shf.l.clamp.b32", "4"), l0 = shf("shf.l.clamp.b32", "0"),
                      l32 = shf("shf.l.clamp.b32", "32"), l40 = shf("shf.l.clamp.b32", "40"),
                      lw36 = shf("shf.l.wrap.b32", "36"), r4 = shf("shf.r.clamp.b32", "4"),
                      r40 = shf("shf.r.clamp.b32", "40"), rw36 = shf("shf.r.wrap.b32", "36");
    expect_snippets({
        {"left: the high word of b:a shifted", l4.c_str(), {0x12345678}},
        {"left by 0 is b", l0.c_str(), {0x01234567}},
        {"left by 32 is a", l32.c_str(), {0x89abcdef}},
        {"left clamps 40 to 32", l40.c_str(), {0x89abcdef}},
        {"left wraps 36 to 4", lw36.c_str(), {0x12345678}},
        {"right: the low word of b:a shifted", r4.c_str(), {0x789abcde}},
        {"right clamps 40 to 32: b", r40.c_str(), {0x01234567}},
        {"right wraps 36 to 4", rw36.c_str(), {0x789abcde}},
    });
}

TEST(PtxInstructions, BfiInsertsTheFieldThatFits) {
    expect_snippets({
        {"a's low 32 bits into b's high half",
         "mov.u64 %rd1, 0x1122334455667788; mov.u64 %rd2, 0xaaaaaaaabbbbbbbb; bfi.b64 %rd3, %rd1, %rd2, 32, 32;"
         "st.global.u64 [%rd15], %rd3;",
         {0x55667788bbbbbbbb}},
        {"a field running past bit 31 is cut", "bfi.b32 %r1, 0xf, 0, 30, 8; st.global.u32 [%rd15], %r1;", {0xc0000000}},
        {"length 0 or a position past the word leaves b",
         "bfi.b32 %r1, 0xf, 0x1234, 4, 0; bfi.b32 %r2, 0xf, 0x1234, 32, 4;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {0x1234, 0x1234}},
    });
}

TEST(PtxInstructions, SetpComparesBySignednessAndSelpAndGuardsFollow) {
    expect_snippets({
        {"-1 is below 0 as s32, above it as u32",
         "setp.lt.s32 %p1, -1, 0; setp.lt.u32 %p2, -1, 0; selp.b32 %r1, 1, 2, %p1; selp.b32 %r2, 1, 2, %p2;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {1, 2}},
        {"the final test of the mining kernel: greater than -1",
         "setp.gt.s32 %p1, 0, -1; setp.gt.s32 %p2, -1, -1; selp.s32 %r1, -1, 0, %p1; selp.s32 %r2, -1, 0, %p2;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {0xffffffff, 0}},
        {"64-bit orders, and.pred, guards with and without !",
         "setp.lt.u64 %p1, 1, 0x8000000000000000; setp.lt.s64 %p2, 1, 0x8000000000000000; and.pred %p3, %p1, %p2;"
         "mov.u32 %r1, 7; mov.u32 %r2, 7; @%p3 mov.u32 %r1, 8; @!%p3 mov.u32 %r2, 9;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {7, 9}},
        {"eq, ne, ge, le",
         "setp.eq.s32 %p1, 3, 3; setp.ne.s32 %p2, 3, 3; setp.ge.u32 %p3, 3, 3; setp.le.s32 %p4, 4, 3;"
         "selp.b32 %r1, 1, 0, %p1; selp.b32 %r2, 1, 0, %p2; selp.b32 %r3, 1, 0, %p3; selp.b32 %r4, 1, 0, %p4;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;"
         "st.global.u32 [%rd15+24], %r4;",
         {1, 0, 1, 0}},
        {"a taken branch skips",
         "setp.ne.s32 %p1, 1, 0; mov.u32 %r1, 1; @%p1 bra $skip; mov.u32 %r1, 2;\n$skip:\n"
         "st.global.u32 [%rd15], %r1;",
         {1}},
    });
}

TEST(PtxInstructions, CvtTruncatesAndExtendsBySourceType) {
    expect_snippets({
        {"u32 from u64 keeps the low half; u64 from u32 zero-extends",
         "mov.u64 %rd1, 0x1234567890abcdef; cvt.u32.u64 %r1, %rd1; cvt.u64.u32 %rd2, %r1;"
         "st.global.u64 [%rd15], %rd2;",
         {0x90abcdef}},
        {"s64 from s32 sign-extends; s64 from u32 does not",
         "mov.u32 %r1, 0x80000000; cvt.s64.s32 %rd1, %r1; cvt.s64.u32 %rd2, %r1;"
         "st.global.u64 [%rd15], %rd1; st.global.u64 [%rd15+8], %rd2;",
         {0xffffffff80000000, 0x80000000}},
        {"narrow types: u32.u16, s32.s16, s32.s8, u8 into a 16-bit register",
         "mov.u16 %rs1, 0x8001; cvt.u32.u16 %r1, %rs1; cvt.s32.s16 %r2, %rs1; mov.u32 %r5, 0x1ff80;"
         "cvt.s32.s8 %r3, %r5; cvt.u8.u32 %rs2, %r5; cvt.u32.u16 %r4, %rs2;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2; st.global.u32 [%rd15+16], %r3;"
         "st.global.u32 [%rd15+24], %r4;",
         {0x8001, 0xffff8001, 0xffffff80, 0x80}},
    });
}

TEST(PtxInstructions, VectorMovesPackAndUnpack) {
    expect_snippets({
        {"b64 from two b32 halves, low first",
         "mov.u32 %r1, 0x11111111; mov.u32 %r2, 0x22222222; mov.b64 %rd1, {%r1, %r2}; st.global.u64 [%rd15], %rd1;",
         {0x2222222211111111}},
        {"b64 into two halves",
         "mov.u64 %rd1, 0x0123456789abcdef; mov.b64 {%r1, %r2}, %rd1;"
         "st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {0x89abcdef, 0x01234567}},
        {"b32 into and from two b16 halves",
         "mov.u32 %r1, 0x12345678; mov.b32 {%rs1, %rs2}, %r1; mov.b32 %r2, {%rs2, %rs1}; cvt.u32.u16 %r3, %rs1;"
         "st.global.u32 [%rd15], %r2; st.global.u32 [%rd15+8], %r3;",
         {0x56781234, 0x5678}},
    });
}

TEST(PtxInstructions, LoadsExtendByTheirTypeAndReadEachSpace) {
    expect_snippets({
        {"ld.const at a symbol, an offset and through a register",
         "ld.const.u64 %rd1, [table]; mov.u64 %rd2, table; ld.const.u8 %r1, [%rd2+8]; ld.const.s8 %r2, [table+9];"
         "ld.const.u8 %rd3, [table+15];"
         "st.global.u64 [%rd15], %rd1; st.global.u32 [%rd15+8], %r1; st.global.u32 [%rd15+16], %r2;"
         "st.global.u64 [%rd15+24], %rd3;",
         {0x0807060504030201, 0x81, 0xffffffff, 0x80}},
        {"ld.global.nc and ld.global read what st.global wrote; s8 sign-extends",
         "st.global.u8 [%rd15+120], 0xfe; ld.global.nc.u8 %rs1, [%rd15+120]; ld.global.s8 %r1, [%rd15+120];"
         "cvt.u32.u16 %r2, %rs1; st.global.u32 [%rd15], %r1; st.global.u32 [%rd15+8], %r2;",
         {0xfffffffe, 0xfe}},
    });
}

TEST(PtxInstructions, AtomicAddIsAtomicAcrossThreadsAndReturnsTheOldValue) {
    const ptx::Program program = ptx::parse(kernel_text(
        "mov.u32 %r1, 0;\n$loop:\natom.global.add.u32 %r2, [%rd15], 3; add.s32 %r1, %r1, 1;"
        "setp.ne.s32 %p1, %r1, 1000; @%p1 bra $loop;"));
    Words out{};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&] { run_thread(program, out, {}); });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(out[0], 8u * 1000 * 3);

    const Words old = run("atom.global.add.u32 %r1, [%rd15+8], 5; atom.global.add.u32 %r2, [%rd15+8], 5;"
                          "st.global.u32 [%rd15], %r2;");
    EXPECT_EQ(old[0], 5u);
    EXPECT_EQ(old[1], 10u);
}

TEST(PtxInstructions, SpecialRegistersGiveTheThreadsPlace) {
    const ptx::Program program = ptx::parse(kernel_text(
        "mov.u32 %r1, %ctaid.x; mov.u32 %r2, %ntid.x; mov.u32 %r3, %tid.x; mad.lo.s32 %r4, %r1, %r2, %r3;"
        "mov.u32 %r5, %nctaid.x; st.global.u32 [%rd15], %r4; st.global.u32 [%rd15+8], %r5;"));
    ptx::ThreadPlace place;
    place.tid.x = 31;
    place.ntid.x = 32;
    place.ctaid.x = (1u << 27) - 1;
    place.nctaid.x = 1u << 27;
    Words out{};
    run_thread(program, out, place);
    EXPECT_EQ(out[0], 0xffffffffu);  // the last thread of a grid of 2^32 threads
    EXPECT_EQ(out[1], 1u << 27);
}

// Each parameter at its own type's alignment: ".ptr .align 1" speaks of the
// pointee, so a pointer after a 32-bit parameter starts at offset 8.
TEST(PtxParams, AreLaidOutByTheirTypesAlignment) {
    const ptx::Program p = ptx::parse(
        ".version 8.0\n.target sm_100\n.address_size 64\n"
        ".visible .entry k(.param .u32 a, .param .u64 .ptr .align 1 b, .param .u32 c, .param .align 16 .b8 d[4])\n"
        "{\n\tret;\n}\n");
    const ptx::Kernel& k = p.kernels.at(0);
    ASSERT_EQ(k.params.size(), 4u);
    EXPECT_EQ(k.params[1].offset, 8u);
    EXPECT_EQ(k.params[2].offset, 16u);
    EXPECT_EQ(k.params[3].offset, 32u);
    EXPECT_EQ(k.param_bytes, 36u);
    const ptx::Argument too_few[] = {ptx::Argument::of(std::uint32_t{1})};
    EXPECT_THROW(ptx::lay_out_params(k, too_few), ptx::Error);
    const ptx::Argument wrong_size[] = {ptx::Argument::of(std::uint64_t{1}), ptx::Argument::of(std::uint64_t{1}),
                                        ptx::Argument::of(std::uint32_t{1}), ptx::Argument::of(std::uint32_t{1})};
    EXPECT_THROW(ptx::lay_out_params(k, wrong_size), ptx::Error);
}

// What the interpreter does not implement or refuses to run, or a thread
// that faults: an error that names the line (the snippet body is line 12)
// and the cause.
TEST(PtxRefusals, NameTheLineAndTheCause) {
    struct Case {
        const char* what;
        std::string text;
        const char* says;
    };
    const Case cases[] = {
        {"an instruction outside the forms", kernel_text("shfl.sync.bfly.b32 %r1, %r2, 1, 31, -1;"),
         "PTX line 12: not implemented: instruction `shfl.sync.bfly.b32`"},
        {"a modifier outside the forms", kernel_text("add.sat.s32 %r1, %r2, %r3;"),
         "PTX line 12: not implemented: instruction `add.sat.s32`"},
        {"a prmt mode", kernel_text("prmt.b32.f4e %r1, %r2, %r3, %r4;"), "not implemented: instruction `prmt.b32.f4e`"},
        {"a special register", kernel_text("mov.u32 %r1, %laneid;"), "PTX line 12: neither a declared register nor"},
        {"shared memory", kernel_text(".shared .align 4 .b8 s[16];"), "PTX line 12: not implemented: shared memory"},
        {"local memory", kernel_text(".local .align 4 .b8 l[16];"), "PTX line 12: not implemented: local memory"},
        {"a device function", ".version 8.0\n.target sm_90\n.address_size 64\n.func f()\n{\n\tret;\n}\n",
         "PTX line 4: not implemented: device functions"},
        {"an undeclared register", kernel_text("mov.u32 %r1, %q7;"), "PTX line 12: neither a declared register nor"},
        {"a register of the wrong width", kernel_text("add.u32 %r1, %rd1, 1;"), "has the wrong width"},
        {"a label never defined", kernel_text("bra $nowhere;"), "unknown label `$nowhere`"},
        // The carry flag lives in one straight-line run of instructions.
        {"a madc.hi with no chain before it", kernel_text("madc.hi.u32 %r2, 5, 6, 0;"),
         "PTX line 12: a carry-in that no add or mad carry chain set"},
        {"a carry from one inline asm statement into the next",
         kernel_text("\n// begin inline asm\nadd.cc.u32 %r1, 0xffffffff, 1;\n// end inline asm\n"
                     "// begin inline asm\naddc.u32 %r2, 0, 0;\n// end inline asm"),
         "PTX line 17: a carry-in across the start of an inline asm statement (line 16)"},
        {"a carry out of an inline asm statement",
         kernel_text("\n// begin inline asm\nmad.lo.cc.u32 %r1, 3, 5, 7;\n// end inline asm\nmadc.hi.u32 %r2, 3, 5, 7;"),
         "PTX line 16: a carry-in across the end of an inline asm statement (line 15)"},
        {"a carry past a label, as into a loop's next turn",
         kernel_text("add.cc.u32 %r1, 1, 2;\n$turn:\naddc.cc.u32 %r2, 0, 0;\nadd.cc.u32 %r3, 1, 2;\nbra $turn;"),
         "PTX line 14: a carry-in across the label `$turn` (line 13)"},
        {"a borrow past a branch",
         kernel_text("setp.eq.u64 %p1, %rd13, 0; sub.cc.u32 %r1, 1, 2;\n@%p1 bra $out;\nsubc.u32 %r2, 0, 0;\n$out:"),
         "PTX line 14: a borrow-in across a branch (line 13)"},
        // A register reads what the ISA leaves undefined until it is written.
        {"a register never written", kernel_text("add.u32 %r1, %r2, 1;"),
         "PTX line 12: reads `%r2` where not every path here has written it"},
        {"a register written on one branch only",
         kernel_text("setp.eq.u64 %p1, %rd13, 0;\n@%p1 bra $skip;\nmov.u32 %r1, 5;\n$skip:\nst.global.u32 [%rd15], %r1;"),
         "PTX line 16: reads `%r1` where not every path here has written it"},
        {"a register written by a guarded instruction",
         kernel_text("setp.eq.u64 %p1, %rd13, 0; @%p1 mov.u32 %r1, 5; st.global.u32 [%rd15], %r1;"),
         "PTX line 12: reads `%r1` where not every path here has written it"},
        {"a register written later in a loop than it is read",
         kernel_text("mov.u32 %r2, 0;\n$turn:\nadd.u32 %r2, %r2, %r1;\nmov.u32 %r1, 1;\n"
                     "setp.lt.u32 %p1, %r2, 10;\n@%p1 bra $turn;"),
         "PTX line 14: reads `%r1` where not every path here has written it"},
        {"a scope's register in the slot an earlier scope's register wrote",
         kernel_text("{ .reg .u32 t; mov.u32 t, 5; }\n{ .reg .u32 u; add.u32 %r1, u, 1; }"),
         "PTX line 13: reads `u` where not every path here has written it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ptx::parse(c.text);
            ADD_FAILURE() << "parsed";
        } catch (const ptx::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(PtxFaults, NameTheLineAndTheCause) {
    struct Case {
        const char* what;
        const char* body;
        const char* says;
    };
    const Case cases[] = {
        {"a store past the buffer", "st.global.u64 [%rd15+128], %rd13;",
         "PTX line 12: access of 8 bytes at 0x"},
        {"a misaligned load", "ld.global.u64 %rd1, [%rd15+4];", "PTX line 12: misaligned access of 8 bytes"},
        {"a load through a null pointer", "mov.u64 %rd1, 0; ld.global.u32 %r1, [%rd1];", "outside every buffer"},
        {"a constant read past the bank", "ld.const.u64 %rd1, [table+16];", "read outside the constant space"},
        {"a loop that does not end", "\n$forever:\nbra $forever;", "PTX line 14: more than"},
        {"a subc after an add.cc", "add.cc.u32 %r1, 1, 2; subc.u32 %r2, 5, 0;",
         "PTX line 12: a borrow-in that no sub carry chain set"},
        {"an addc.cc after a sub.cc", "sub.cc.u32 %r1, 1, 2; addc.cc.u32 %r2, 5, 0;",
         "PTX line 12: a carry-in that no add or mad carry chain set"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            run(c.body);
            ADD_FAILURE() << "ran";
        } catch (const ptx::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

}  // namespace
