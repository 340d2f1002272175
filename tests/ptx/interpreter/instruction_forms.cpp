#include "tests/ptx/interpreter/instruction_forms.hpp"

#include <initializer_list>
#include <string>
#include <unordered_map>

namespace ptx {
namespace {

struct Type {
    const char* name;
    std::uint8_t bits;
    bool is_signed;
};

constexpr Type T16[] = {{"u16", 16, false}, {"s16", 16, true}, {"b16", 16, false}};
constexpr Type T32[] = {{"u32", 32, false}, {"s32", 32, true}, {"b32", 32, false}};
constexpr Type T64[] = {{"u64", 64, false}, {"s64", 64, true}, {"b64", 64, false}};
constexpr Type U32S32[] = {{"u32", 32, false}, {"s32", 32, true}};
constexpr Type U64S64[] = {{"u64", 64, false}, {"s64", 64, true}};
// The types of memory accesses and conversions.
constexpr Type SCALARS[] = {{"u8", 8, false},   {"s8", 8, true},   {"b8", 8, false},   {"u16", 16, false},
                            {"s16", 16, true},  {"b16", 16, false}, {"u32", 32, false}, {"s32", 32, true},
                            {"b32", 32, false}, {"u64", 64, false}, {"s64", 64, true},  {"b64", 64, false}};
constexpr Type CVT_TYPES[] = {{"u8", 8, false},   {"s8", 8, true},   {"u16", 16, false}, {"s16", 16, true},
                              {"u32", 32, false}, {"s32", 32, true}, {"u64", 64, false}, {"s64", 64, true}};

constexpr OperandSpec dst(std::uint8_t w) { return {OperandSpec::Dst, w}; }
constexpr OperandSpec src(std::uint8_t w) { return {OperandSpec::Src, w}; }
constexpr OperandSpec PRED_DST{OperandSpec::Dst, 1};
constexpr OperandSpec PRED_SRC{OperandSpec::Src, 1};
constexpr OperandSpec ADDR{OperandSpec::Addr, 0};
constexpr OperandSpec LABEL{OperandSpec::Label, 0};

Form form(Op op, std::initializer_list<OperandSpec> operands) {
    Form f{op};
    for (const OperandSpec& o : operands) f.operands[f.count++] = o;
    return f;
}

using Table = std::unordered_map<std::string, Form>;

void add(Table& t, const std::string& name, const Form& f) { t.emplace(name, f); }

// name.T for each type: d, a, b of the type's width.
template <std::size_t N>
void three(Table& t, const std::string& name, const Type (&types)[N], Op op) {
    for (const Type& ty : types) add(t, name + "." + ty.name, form(op, {dst(ty.bits), src(ty.bits), src(ty.bits)}));
}

void moves(Table& t) {
    for (const Type& ty : T16) add(t, std::string("mov.") + ty.name, form(Op::Mov, {dst(16), src(16)}));
    for (const Type& ty : T32) add(t, std::string("mov.") + ty.name, form(Op::Mov, {dst(32), src(32)}));
    for (const Type& ty : T64) add(t, std::string("mov.") + ty.name, form(Op::Mov, {dst(64), src(64)}));
    add(t, "mov.pred", form(Op::Mov, {PRED_DST, PRED_SRC}));
    // Generic addresses of global memory are global addresses.
    add(t, "cvta.to.global.u64", form(Op::Mov, {dst(64), src(64)}));
    add(t, "cvta.global.u64", form(Op::Mov, {dst(64), src(64)}));
}

void conversions(Table& t) {
    for (const Type& d : CVT_TYPES)
        for (const Type& a : CVT_TYPES) {
            if (d.bits == a.bits && d.is_signed == a.is_signed) continue;
            Form f = form(Op::Convert, {{OperandSpec::Dst, d.bits, true}, {OperandSpec::Src, a.bits, true}});
            f.size = a.bits / 8;
            f.sign = a.is_signed;
            f.dtype_bits = d.bits;
            f.dsign = d.is_signed;
            add(t, std::string("cvt.") + d.name + "." + a.name, f);
        }
}

void arithmetic(Table& t) {
    three(t, "add", U32S32, Op::Add32);
    three(t, "add", U64S64, Op::Add64);
    three(t, "sub", U32S32, Op::Sub32);
    three(t, "sub", U64S64, Op::Sub64);
    add(t, "neg.s32", form(Op::Neg32, {dst(32), src(32)}));
    add(t, "neg.s64", form(Op::Neg64, {dst(64), src(64)}));
    three(t, "mul.lo", U32S32, Op::MulLo32);
    three(t, "mul.lo", U64S64, Op::MulLo64);
    add(t, "mul.hi.u32", form(Op::MulHiU32, {dst(32), src(32), src(32)}));
    add(t, "mul.hi.s32", form(Op::MulHiS32, {dst(32), src(32), src(32)}));
    add(t, "mul.hi.u64", form(Op::MulHiU64, {dst(64), src(64), src(64)}));
    add(t, "mul.wide.u32", form(Op::MulWideU32, {dst(64), src(32), src(32)}));
    add(t, "mul.wide.s32", form(Op::MulWideS32, {dst(64), src(32), src(32)}));
    add(t, "mul.wide.u16", form(Op::MulWideU16, {dst(32), src(16), src(16)}));
    add(t, "mul.wide.s16", form(Op::MulWideS16, {dst(32), src(16), src(16)}));
    for (const Type& ty : U32S32)
        add(t, std::string("mad.lo.") + ty.name, form(Op::MadLo32, {dst(32), src(32), src(32), src(32)}));
    for (const Type& ty : U64S64)
        add(t, std::string("mad.lo.") + ty.name, form(Op::MadLo64, {dst(64), src(64), src(64), src(64)}));
    add(t, "mad.hi.u32", form(Op::MadHiU32, {dst(32), src(32), src(32), src(32)}));
    add(t, "mad.wide.u32", form(Op::MadWideU32, {dst(64), src(32), src(32), src(64)}));
}

void carry_chains(Table& t) {
    three(t, "add.cc", U32S32, Op::AddCc);
    three(t, "addc", U32S32, Op::Addc);
    three(t, "addc.cc", U32S32, Op::AddcCc);
    three(t, "sub.cc", U32S32, Op::SubCc);
    three(t, "subc", U32S32, Op::Subc);
    three(t, "subc.cc", U32S32, Op::SubcCc);
    const auto mad = [&](const std::string& name, Op op) {
        add(t, name, form(op, {dst(32), src(32), src(32), src(32)}));
    };
    for (const Type& ty : U32S32) {
        mad(std::string("mad.lo.cc.") + ty.name, Op::MadLoCc);
        mad(std::string("madc.lo.") + ty.name, Op::MadcLo);
        mad(std::string("madc.lo.cc.") + ty.name, Op::MadcLoCc);
    }
    // The high half of a signed product differs: only the unsigned one here.
    mad("mad.hi.cc.u32", Op::MadHiCc);
    mad("madc.hi.u32", Op::MadcHi);
    mad("madc.hi.cc.u32", Op::MadcHiCc);
}

void bits(Table& t) {
    for (const char* name : {"and", "or", "xor"}) {
        const Op op = name[0] == 'a' ? Op::And : name[0] == 'o' ? Op::Or : Op::Xor;
        for (const char* ty : {"b16", "b32", "b64"}) {
            const std::uint8_t w = ty[1] == '1' ? 16 : ty[1] == '3' ? 32 : 64;
            add(t, std::string(name) + "." + ty, form(op, {dst(w), src(w), src(w)}));
        }
        add(t, std::string(name) + ".pred", form(op, {PRED_DST, PRED_SRC, PRED_SRC}));
    }
    add(t, "not.b32", form(Op::Not32, {dst(32), src(32)}));
    add(t, "not.b64", form(Op::Not64, {dst(64), src(64)}));
    add(t, "not.pred", form(Op::NotPred, {PRED_DST, PRED_SRC}));
    add(t, "shl.b32", form(Op::Shl32, {dst(32), src(32), src(32)}));
    add(t, "shl.b64", form(Op::Shl64, {dst(64), src(64), src(32)}));
    for (const char* ty : {"u32", "b32"}) add(t, std::string("shr.") + ty, form(Op::ShrU32, {dst(32), src(32), src(32)}));
    for (const char* ty : {"u64", "b64"}) add(t, std::string("shr.") + ty, form(Op::ShrU64, {dst(64), src(64), src(32)}));
    add(t, "shr.s32", form(Op::ShrS32, {dst(32), src(32), src(32)}));
    add(t, "shr.s64", form(Op::ShrS64, {dst(64), src(64), src(32)}));
    const auto four32 = {dst(32), src(32), src(32), src(32)};
    add(t, "shf.l.clamp.b32", form(Op::ShfLClamp, four32));
    add(t, "shf.l.wrap.b32", form(Op::ShfLWrap, four32));
    add(t, "shf.r.clamp.b32", form(Op::ShfRClamp, four32));
    add(t, "shf.r.wrap.b32", form(Op::ShfRWrap, four32));
    add(t, "bfi.b32", form(Op::Bfi32, {dst(32), src(32), src(32), src(32), src(32)}));
    add(t, "bfi.b64", form(Op::Bfi64, {dst(64), src(64), src(64), src(32), src(32)}));
    add(t, "prmt.b32", form(Op::Prmt, four32));
}

void comparisons(Table& t) {
    struct Cmp {
        const char* name;
        Op unsigned_op, s32, s64;
    };
    const Cmp orders[] = {{"lt", Op::SetpLtU, Op::SetpLtS32, Op::SetpLtS64},
                          {"le", Op::SetpLeU, Op::SetpLeS32, Op::SetpLeS64},
                          {"gt", Op::SetpGtU, Op::SetpGtS32, Op::SetpGtS64},
                          {"ge", Op::SetpGeU, Op::SetpGeS32, Op::SetpGeS64}};
    const auto setp = [&](const std::string& name, Op op, std::uint8_t w) {
        add(t, name, form(op, {PRED_DST, src(w), src(w)}));
    };
    // A slot holds its value zero-extended, so equality and the unsigned
    // orders compare slots whole, whatever the width.
    for (const auto* types : {T16, T32, T64})
        for (int i = 0; i < 3; ++i) {
            const Type& ty = types[i];
            setp(std::string("setp.eq.") + ty.name, Op::SetpEq, ty.bits);
            setp(std::string("setp.ne.") + ty.name, Op::SetpNe, ty.bits);
        }
    for (const Cmp& c : orders) {
        for (const char* ty : {"u16", "u32", "u64"}) {
            const std::uint8_t w = ty[1] == '1' ? 16 : ty[1] == '3' ? 32 : 64;
            setp(std::string("setp.") + c.name + "." + ty, c.unsigned_op, w);
        }
        setp(std::string("setp.") + c.name + ".s32", c.s32, 32);
        setp(std::string("setp.") + c.name + ".s64", c.s64, 64);
    }
    for (const auto* types : {T16, T32, T64})
        for (int i = 0; i < 3; ++i) {
            const Type& ty = types[i];
            add(t, std::string("selp.") + ty.name, form(Op::Selp, {dst(ty.bits), src(ty.bits), src(ty.bits), PRED_SRC}));
        }
}

void memory(Table& t) {
    struct Where {
        const char* prefix;
        Op op;
        Space space;
    };
    const Where loads[] = {{"ld.param.", Op::LdParam, Space::Param},
                           {"ld.const.", Op::LdConst, Space::Const},
                           {"ld.global.", Op::LdGlobal, Space::Global},
                           // Read through the non-coherent cache: the same value
                           // here, since nothing writes what a kernel reads so.
                           {"ld.global.nc.", Op::LdGlobal, Space::Global}};
    for (const Where& w : loads)
        for (const Type& ty : SCALARS) {
            Form f = form(w.op, {{OperandSpec::Dst, ty.bits, true}, ADDR});
            f.space = w.space;
            f.size = ty.bits / 8;
            f.sign = ty.is_signed;
            add(t, std::string(w.prefix) + ty.name, f);
        }
    for (const Type& ty : SCALARS) {
        Form f = form(Op::StGlobal, {ADDR, {OperandSpec::Src, ty.bits, true}});
        f.space = Space::Global;
        f.size = ty.bits / 8;
        add(t, std::string("st.global.") + ty.name, f);
    }
    for (const Type& ty : U32S32) {
        Form f = form(Op::AtomAdd32, {dst(32), ADDR, src(32)});
        f.space = Space::Global;
        f.size = 4;
        add(t, std::string("atom.global.add.") + ty.name, f);
    }
    Form f = form(Op::AtomAdd64, {dst(64), ADDR, src(64)});
    f.space = Space::Global;
    f.size = 8;
    add(t, "atom.global.add.u64", f);
}

void control(Table& t) {
    add(t, "bra", form(Op::Bra, {LABEL}));
    add(t, "bra.uni", form(Op::Bra, {LABEL}));
    add(t, "ret", form(Op::Ret, {}));
    add(t, "exit", form(Op::Ret, {}));
}

const Table& table() {
    static const Table forms = [] {
        Table t;
        moves(t);
        conversions(t);
        arithmetic(t);
        carry_chains(t);
        bits(t);
        comparisons(t);
        memory(t);
        control(t);
        return t;
    }();
    return forms;
}

}  // namespace

const Form* find_form(std::string_view opcode) {
    const auto it = table().find(std::string(opcode));
    return it == table().end() ? nullptr : &it->second;
}

}  // namespace ptx
