#include "tests/ptx/interpreter/parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "tests/ptx/interpreter/carry_runs.hpp"
#include "tests/ptx/interpreter/error.hpp"
#include "tests/ptx/interpreter/instruction_forms.hpp"
#include "tests/ptx/interpreter/lexer.hpp"
#include "tests/ptx/interpreter/register_writes.hpp"

namespace ptx {

std::string_view SourceText::line(std::uint32_t number) const {
    if (number == 0 || number > line_starts.size()) return {};
    const std::size_t start = line_starts[number - 1];
    const std::size_t end = number < line_starts.size() ? line_starts[number] - 1 : text.size();
    std::string_view l(text.data() + start, end - start);
    while (!l.empty() && (l.front() == ' ' || l.front() == '\t')) l.remove_prefix(1);
    while (!l.empty() && (l.back() == ' ' || l.back() == '\t' || l.back() == '\r')) l.remove_suffix(1);
    return l;
}

std::string SourceText::message(std::uint32_t line_number, std::string_view what) const {
    return "PTX line " + std::to_string(line_number) + ": " + std::string(what) + ": `" + std::string(line(line_number)) +
           "`";
}

const ConstSymbol* Program::constant(std::string_view name) const {
    const auto it = std::find_if(constants.begin(), constants.end(), [&](const ConstSymbol& s) { return s.name == name; });
    return it == constants.end() ? nullptr : &*it;
}

namespace {

// An immediate's slot while its kernel is decoded: the index among the
// kernel's immediates, tagged; the immediates follow the registers.
constexpr std::uint32_t IMMEDIATE = 0x80000000u;

std::optional<std::uint64_t> parse_integer(std::string_view s) {
    if (!s.empty() && s.back() == 'U') s.remove_suffix(1);
    if (s.empty()) return std::nullopt;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) {
        base = 2;
        s.remove_prefix(2);
    } else if (s.size() > 1 && s[0] == '0') {
        base = 8;
        s.remove_prefix(1);
    }
    std::uint64_t v = 0;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        if (digit >= base) return std::nullopt;
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return v;
}

std::uint64_t mask(std::uint64_t v, unsigned bits) { return bits >= 64 ? v : v & ((std::uint64_t{1} << bits) - 1); }

std::uint32_t align_up(std::uint32_t v, std::uint32_t a) { return a <= 1 ? v : (v + a - 1) / a * a; }

// Bits of a scalar type or register type (".u32" → 32, ".pred" → 1); 0
// for a name that is none.
unsigned type_bits(std::string_view t) {
    if (t == ".pred") return 1;
    if (t.size() < 3 || t[0] != '.') return 0;
    if (std::string_view("bsuf").find(t[1]) == std::string_view::npos) return 0;
    const auto bits = parse_integer(t.substr(2));
    if (!bits || (*bits != 8 && *bits != 16 && *bits != 32 && *bits != 64)) return 0;
    return static_cast<unsigned>(*bits);
}

// The special registers the interpreter provides, and their slots.
std::optional<std::uint32_t> special_register(std::string_view name) {
    struct Special {
        std::string_view name;
        std::uint32_t slot;
    };
    static constexpr Special SPECIALS[] = {{"%tid", SLOT_TID}, {"%ntid", SLOT_NTID}, {"%ctaid", SLOT_CTAID},
                                           {"%nctaid", SLOT_NCTAID}};
    for (const Special& s : SPECIALS)
        if (name.size() == s.name.size() + 2 && name.starts_with(s.name) && name[s.name.size()] == '.') {
            const char axis = name.back();
            if (axis >= 'x' && axis <= 'z') return s.slot + static_cast<std::uint32_t>(axis - 'x');
        }
    return std::nullopt;
}

struct RawOperand {
    enum Kind { Name, Immediate, Address, Vector } kind;
    std::string_view name = {};                   // Name; Address: its base, when a name
    std::int64_t value = 0;                       // Immediate; Address: the offset
    std::optional<std::int64_t> absolute = {};    // Address: a numeric base
    std::vector<std::string_view> elements = {};  // Vector
};

class Parser {
public:
    explicit Parser(std::string_view text) : source_(make_source(text)), tokens_(tokenize(source_->text)) {}

    Program run() {
        program_.source = source_;
        while (peek().kind != Token::End) {
            const Token& t = peek();
            if (t.kind == Token::AsmBoundary) {
                next();
                continue;
            }
            if (t.kind != Token::Word) fail(t.line, "unexpected `" + std::string(t.text) + "`");
            if (t.text == ".version" || t.text == ".address_size") {
                skip_line();
            } else if (t.text == ".target") {
                next();
                program_.target = std::string(word("a target"));
                skip_line(t.line);
            } else if (t.text == ".const") {
                parse_constant();
            } else if (t.text == ".visible" || t.text == ".entry") {
                parse_entry();
            } else if (t.text == ".func" || t.text == ".extern" || t.text == ".weak") {
                fail(t.line, "not implemented: device functions and external symbols (" + std::string(t.text) + ")");
            } else {
                fail(t.line, "not implemented: module directive `" + std::string(t.text) + "`");
            }
        }
        return std::move(program_);
    }

private:
    static std::shared_ptr<SourceText> make_source(std::string_view text) {
        auto s = std::make_shared<SourceText>();
        s->text = std::string(text);
        s->line_starts.push_back(0);
        for (std::size_t i = 0; i < s->text.size(); ++i)
            if (s->text[i] == '\n') s->line_starts.push_back(i + 1);
        return s;
    }

    [[noreturn]] void fail(std::uint32_t line, std::string_view what) const { throw Error(source_->message(line, what)); }

    const Token& peek(std::size_t ahead = 0) const { return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)]; }
    const Token& next() {
        const Token& t = peek();
        if (t.kind != Token::End) ++pos_;
        return t;
    }
    bool is_punct(const Token& t, char c) const { return t.kind == Token::Punct && t.text[0] == c; }
    bool accept_punct(char c) {
        if (!is_punct(peek(), c)) return false;
        next();
        return true;
    }
    bool accept_word(std::string_view w) {
        if (peek().kind != Token::Word || peek().text != w) return false;
        next();
        return true;
    }
    void expect_punct(char c) {
        if (!accept_punct(c)) fail(peek().line, std::string("expected '") + c + "'");
    }
    std::string_view word(const char* what) {
        const Token& t = next();
        if (t.kind != Token::Word) fail(t.line, std::string("expected ") + what);
        return t.text;
    }
    std::uint64_t number(const char* what) {
        const Token& t = next();
        const auto v = t.kind == Token::Number ? parse_integer(t.text) : std::nullopt;
        if (!v) fail(t.line, std::string("expected ") + what);
        return *v;
    }
    std::int64_t signed_number(const char* what) {
        const bool negative = accept_punct('-');
        const auto v = static_cast<std::int64_t>(number(what));
        return negative ? -v : v;
    }
    void skip_line(std::uint32_t line = 0) {
        if (line == 0) line = peek().line;
        while (peek().kind != Token::End && peek().line == line) next();
    }

    // ---- module level ----

    // .const [.align N] .type name[N] [= {v, …}];
    void parse_constant() {
        const std::uint32_t line = next().line;
        std::uint32_t align = 0;
        if (accept_word(".align")) align = static_cast<std::uint32_t>(number("an alignment"));
        const unsigned bits = type_bits(word("a type"));
        if (bits < 8) fail(line, "not implemented: this constant's type");
        const std::uint32_t element = bits / 8;
        const std::string_view name = word("a name");
        std::uint32_t count = 1;
        if (accept_punct('[')) {
            count = static_cast<std::uint32_t>(number("an array size"));
            expect_punct(']');
        }
        std::vector<std::uint8_t> bytes(std::size_t{element} * count, 0);
        if (accept_punct('=')) {
            const bool list = accept_punct('{');
            for (std::uint32_t i = 0;; ++i) {
                if (i >= count) fail(line, "more initial values than elements");
                const auto v = static_cast<std::uint64_t>(signed_number("an initial value"));
                for (std::uint32_t b = 0; b < element; ++b) bytes[i * element + b] = static_cast<std::uint8_t>(v >> (8 * b));
                if (!list || !accept_punct(',')) break;
            }
            if (list) expect_punct('}');
        }
        expect_punct(';');
        auto& image = program_.constant_image;
        const std::uint32_t offset = align_up(static_cast<std::uint32_t>(image.size()), std::max(align, element));
        image.resize(offset);
        image.insert(image.end(), bytes.begin(), bytes.end());
        program_.constants.push_back({std::string(name), offset, static_cast<std::uint32_t>(bytes.size())});
    }

    void parse_entry() {
        accept_word(".visible");
        if (peek().text == ".func") fail(peek().line, "not implemented: device functions (.func)");
        if (!accept_word(".entry")) fail(peek().line, "expected .entry");
        Kernel k;
        k.name = std::string(word("a kernel name"));
        k.source = source_;
        expect_punct('(');
        if (!accept_punct(')')) {
            do parse_param(k);
            while (accept_punct(','));
            expect_punct(')');
        }
        for (;;) {
            const Token& t = peek();
            if (t.text == ".maxntid" || t.text == ".reqntid") {
                next();
                std::uint64_t threads = number("a thread count");
                while (accept_punct(',')) threads *= number("a thread count");
                k.max_threads = static_cast<std::uint32_t>(threads);
            } else if (t.text == ".minnctapersm" || t.text == ".maxnreg") {
                next();
                number("a count");
            } else {
                break;
            }
        }
        KernelBody(*this, k).parse();
        program_.kernels.push_back(std::move(k));
    }

    // .param [.align N] .type [.ptr [.space] [.align N]] name [[N]]. The
    // .align after .ptr is the pointee's, not the parameter's.
    void parse_param(Kernel& k) {
        const std::uint32_t line = peek().line;
        if (!accept_word(".param")) fail(line, "expected .param");
        std::uint32_t align = 0;
        if (accept_word(".align")) align = static_cast<std::uint32_t>(number("an alignment"));
        const unsigned bits = type_bits(word("a type"));
        if (bits < 8) fail(line, "not implemented: this parameter's type");
        if (accept_word(".ptr")) {
            for (const char* space : {".global", ".const", ".shared", ".local"})
                if (accept_word(space)) break;
            if (accept_word(".align")) number("an alignment");
        }
        const std::string_view name = word("a parameter name");
        std::uint32_t size = bits / 8;
        if (accept_punct('[')) {
            size *= static_cast<std::uint32_t>(number("an array size"));
            expect_punct(']');
        }
        const std::uint32_t offset = align_up(k.param_bytes, align != 0 ? align : bits / 8);
        k.params.push_back({std::string(name), size, offset});
        k.param_bytes = offset + size;
    }

    // ---- a kernel body ----

    class KernelBody {
    public:
        KernelBody(Parser& p, Kernel& k) : p_(p), k_(k) {}

        void parse() {
            const std::uint32_t open_line = p_.peek().line;
            p_.expect_punct('{');
            scopes_.push_back({next_slot_});
            std::uint32_t close_line = open_line;
            while (!scopes_.empty()) {
                const Token& t = p_.peek();
                if (t.kind == Token::End) p_.fail(open_line, "kernel body not closed");
                if (p_.is_punct(t, '{')) {
                    p_.next();
                    scopes_.push_back({next_slot_});
                } else if (p_.is_punct(t, '}')) {
                    close_line = p_.next().line;
                    next_slot_ = scopes_.back().first_slot;  // its registers are dead
                    scopes_.pop_back();
                } else if (t.kind == Token::AsmBoundary) {
                    const bool begins = t.text.find("begin") != std::string_view::npos;
                    runs_.end_run(begins ? "the start of an inline asm statement" : "the end of an inline asm statement",
                                  t.line);
                    p_.next();
                } else if (t.kind == Token::Word && t.text == ".reg") {
                    declare_registers();
                } else if (t.kind == Token::Word && t.text == ".pragma") {
                    while (!p_.accept_punct(';')) p_.next();
                } else if (t.kind == Token::Word && t.text[0] == '.') {
                    p_.fail(t.line, t.text == ".local" || t.text == ".shared"
                                        ? "not implemented: " + std::string(t.text.substr(1)) + " memory"
                                        : "not implemented: directive `" + std::string(t.text) + "`");
                } else if (t.kind == Token::Word && p_.is_punct(p_.peek(1), ':')) {
                    if (!labels_.emplace(t.text, static_cast<std::uint32_t>(k_.code.size())).second)
                        p_.fail(t.line, "label defined twice");
                    runs_.end_run("the label `" + std::string(t.text) + "`", t.line);
                    p_.next();
                    p_.next();
                } else {
                    instruction();
                }
            }
            Insn end;
            end.line = close_line;
            k_.code.push_back(end);
            resolve_branches();
            assign_immediate_slots();
            check_registers_written(k_, max_slot_, declarations_);
        }

    private:
        struct Range {
            std::string_view prefix;
            std::uint32_t first, count;
            std::uint8_t width;
        };
        struct Scope {
            std::uint32_t first_slot;
            std::unordered_map<std::string_view, std::pair<std::uint32_t, std::uint8_t>> names{};
            std::vector<Range> ranges{};
        };
        struct Register {
            std::uint32_t slot;
            std::uint8_t width;
        };

        std::uint32_t allocate(std::uint32_t n) {
            const std::uint32_t first = next_slot_;
            next_slot_ += n;
            max_slot_ = std::max(max_slot_, next_slot_);
            return first;
        }

        // .reg .type %r<N>;  or  .reg .type a, b, c;
        void declare_registers() {
            const std::uint32_t line = p_.next().line;
            const unsigned bits = type_bits(p_.word("a register type"));
            if (bits == 0 || bits == 8) p_.fail(line, "not implemented: this register type");
            Scope& scope = scopes_.back();
            do {
                const std::string_view name = p_.word("a register name");
                const auto at = static_cast<std::uint32_t>(k_.code.size());
                if (p_.accept_punct('<')) {
                    const auto count = static_cast<std::uint32_t>(p_.number("a register count"));
                    p_.expect_punct('>');
                    scope.ranges.push_back({name, allocate(count), count, static_cast<std::uint8_t>(bits)});
                    declarations_.push_back({at, scope.ranges.back().first, count, std::string(name), true});
                } else {
                    scope.names[name] = {allocate(1), static_cast<std::uint8_t>(bits)};
                    declarations_.push_back({at, scope.names[name].first, 1, std::string(name), false});
                }
            } while (p_.accept_punct(','));
            p_.expect_punct(';');
        }

        std::optional<Register> find_register(std::string_view name) const {
            for (auto s = scopes_.rbegin(); s != scopes_.rend(); ++s) {
                if (const auto it = s->names.find(name); it != s->names.end()) return Register{it->second.first, it->second.second};
                for (const Range& r : s->ranges) {
                    if (name.size() <= r.prefix.size() || !name.starts_with(r.prefix)) continue;
                    const std::string_view digits = name.substr(r.prefix.size());
                    std::uint32_t index = 0;
                    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
                    if (ec != std::errc{} || end != digits.data() + digits.size() || (digits.size() > 1 && digits[0] == '0'))
                        continue;
                    if (index < r.count) return Register{r.first + index, r.width};
                }
            }
            return std::nullopt;
        }

        std::uint32_t immediate(std::uint64_t value) {
            const auto [it, added] = immediates_.emplace(value, static_cast<std::uint32_t>(immediate_values_.size()));
            if (added) immediate_values_.push_back(value);
            return IMMEDIATE | it->second;
        }

        RawOperand raw_operand(std::uint32_t line) {
            const Token& t = p_.peek();
            if (p_.accept_punct('[')) {
                RawOperand o{RawOperand::Address};
                const Token& base = p_.next();
                if (base.kind == Token::Word) {
                    o.name = base.text;
                } else if (base.kind == Token::Number) {
                    const auto v = parse_integer(base.text);
                    if (!v) p_.fail(line, "malformed address");
                    o.absolute = static_cast<std::int64_t>(*v);
                } else {
                    p_.fail(line, "malformed address");
                }
                if (p_.accept_punct('+')) o.value = p_.signed_number("an offset");
                else if (p_.is_punct(p_.peek(), '-')) o.value = p_.signed_number("an offset");
                p_.expect_punct(']');
                return o;
            }
            if (p_.accept_punct('{')) {
                RawOperand o{RawOperand::Vector};
                do o.elements.push_back(p_.word("a register"));
                while (p_.accept_punct(','));
                p_.expect_punct('}');
                return o;
            }
            if (p_.is_punct(t, '!')) p_.fail(line, "not implemented: a negated operand outside a guard");
            if (t.kind == Token::Number || p_.is_punct(t, '-')) {
                const bool negative = p_.accept_punct('-');
                const Token& digits = p_.next();
                const auto v = digits.kind == Token::Number ? parse_integer(digits.text) : std::nullopt;
                if (!v) p_.fail(line, "not implemented: the immediate `" + std::string(digits.text) + "`");
                const auto s = static_cast<std::int64_t>(*v);
                return {RawOperand::Immediate, {}, negative ? -s : s};
            }
            return {RawOperand::Name, p_.word("an operand")};
        }

        // A register operand of `width` bits (exactly, or at least when the
        // form allows a wider register).
        std::uint32_t register_operand(std::uint32_t line, std::string_view name, const OperandSpec& spec,
                                       std::uint8_t* register_width = nullptr) {
            const auto r = find_register(name);
            if (!r) p_.fail(line, "undeclared register `" + std::string(name) + "`");
            const bool fits = spec.wider_register_allowed ? r->width >= spec.width && r->width != 1 : r->width == spec.width;
            if (!fits) p_.fail(line, "register `" + std::string(name) + "` has the wrong width for this instruction");
            if (register_width) *register_width = r->width;
            return r->slot;
        }

        std::uint32_t source(std::uint32_t line, const RawOperand& o, const OperandSpec& spec) {
            if (o.kind == RawOperand::Immediate) {
                const auto v = static_cast<std::uint64_t>(o.value);
                return immediate(spec.width == 1 ? (v != 0 ? 1 : 0) : mask(v, spec.width));
            }
            if (o.kind != RawOperand::Name) p_.fail(line, "not implemented: this operand");
            if (o.name.starts_with("%")) {
                if (const auto special = special_register(o.name)) {
                    if (spec.width != 32) p_.fail(line, "special registers are 32-bit");
                    return *special;
                }
                if (!find_register(o.name))
                    p_.fail(line, "neither a declared register nor a special register the interpreter implements: `" +
                                      std::string(o.name) + "`");
            }
            if (const auto r = find_register(o.name); r) return register_operand(line, o.name, spec);
            // A symbol as a value: the address of a constant.
            if (const ConstSymbol* c = p_.program_.constant(o.name)) {
                if (spec.width != 64) p_.fail(line, "an address needs 64 bits");
                return immediate(CONST_BASE + c->offset);
            }
            p_.fail(line, "unknown name `" + std::string(o.name) + "`");
        }

        void address(std::uint32_t line, const RawOperand& o, const Form& f, Insn& in, std::uint32_t& base) {
            if (o.kind != RawOperand::Address) p_.fail(line, "expected an address");
            in.imm = o.value;
            base = SLOT_ZERO;
            if (o.absolute) {
                in.imm += *o.absolute;
                return;
            }
            if (const auto r = find_register(o.name)) {
                if (f.space == Space::Param) p_.fail(line, "not implemented: a parameter addressed through a register");
                if (r->width != 64) p_.fail(line, "an address register must be 64-bit");
                base = r->slot;
                return;
            }
            if (f.space == Space::Param) {
                const auto it = std::find_if(k_.params.begin(), k_.params.end(), [&](const Param& q) { return q.name == o.name; });
                if (it == k_.params.end()) p_.fail(line, "unknown parameter `" + std::string(o.name) + "`");
                if (o.value < 0 || static_cast<std::uint64_t>(o.value) + f.size > it->size)
                    p_.fail(line, "the load lies outside its parameter");
                in.imm += it->offset;
                return;
            }
            if (f.space == Space::Const) {
                const ConstSymbol* c = p_.program_.constant(o.name);
                if (!c) p_.fail(line, "unknown constant `" + std::string(o.name) + "`");
                in.imm += static_cast<std::int64_t>(CONST_BASE + c->offset);
                return;
            }
            p_.fail(line, "not implemented: global variables (`" + std::string(o.name) + "`)");
        }

        void instruction() {
            const std::uint32_t line = p_.peek().line;
            Insn in;
            in.line = line;
            if (p_.accept_punct('@')) {
                const bool negated = p_.accept_punct('!');
                const std::string_view pred = p_.word("a predicate");
                in.guard = register_operand(line, pred, OperandSpec{OperandSpec::Src, 1});
                in.skip_when = negated ? 1 : 0;
            }
            const std::string_view opcode = p_.word("an instruction");
            const Form* f = find_form(opcode);
            if (!f) p_.fail(line, "not implemented: instruction `" + std::string(opcode) + "`");
            std::vector<RawOperand> ops;
            if (!p_.accept_punct(';')) {
                do ops.push_back(raw_operand(line));
                while (p_.accept_punct(','));
                p_.expect_punct(';');
            }
            if (ops.size() != f->count)
                p_.fail(line, "`" + std::string(opcode) + "` takes " + std::to_string(f->count) + " operands");
            in.op = f->op;
            if (f->op == Op::Mov && vector_move(line, *f, ops, in)) {
                k_.code.push_back(in);
                return;
            }
            std::uint32_t* sources[] = {&in.a, &in.b, &in.c, &in.e};
            std::size_t next_source = 0;
            std::uint8_t dst_width = 0;
            for (std::size_t i = 0; i < ops.size(); ++i) {
                const OperandSpec& spec = f->operands[i];
                const RawOperand& o = ops[i];
                switch (spec.kind) {
                    case OperandSpec::Dst:
                        if (o.kind != RawOperand::Name) p_.fail(line, "the destination must be a register");
                        in.d = register_operand(line, o.name, spec, &dst_width);
                        break;
                    case OperandSpec::Src: *sources[next_source++] = source(line, o, spec); break;
                    case OperandSpec::Addr: address(line, o, *f, in, *sources[next_source++]); break;
                    case OperandSpec::Label:
                        if (o.kind != RawOperand::Name) p_.fail(line, "expected a label");
                        branches_.push_back({k_.code.size(), o.name, line});
                        break;
                }
            }
            in.size = f->size;
            in.sign = f->sign ? 1 : 0;
            if (f->op == Op::LdParam || f->op == Op::LdConst || f->op == Op::LdGlobal) in.width = dst_width;
            if (f->op == Op::Convert) convert(*f, dst_width, in);
            if (const auto refusal = runs_.take(in)) p_.fail(line, *refusal);
            k_.code.push_back(in);
        }

        // cvt between integer types, with its two common cases on their own.
        static void convert(const Form& f, std::uint8_t register_width, Insn& in) {
            const unsigned from = f.size * 8u, to = f.dtype_bits;
            in.width = f.dtype_bits;
            in.dsign = f.dsign && register_width > to ? register_width : 0;
            if ((from == 32 && !f.sign && to == 64) || (from == 64 && to == 32 && register_width == 32))
                in.op = Op::Zext32;
            else if (from == 32 && f.sign && to == 64)
                in.op = Op::Sext32;
        }

        // mov.b64 / mov.b32 with a vector of two halves on either side.
        bool vector_move(std::uint32_t line, const Form& f, const std::vector<RawOperand>& ops, Insn& in) {
            const bool unpack = ops[0].kind == RawOperand::Vector, pack = ops[1].kind == RawOperand::Vector;
            if (!unpack && !pack) return false;
            const std::uint8_t whole = f.operands[0].width;
            const RawOperand& v = unpack ? ops[0] : ops[1];
            if ((whole != 64 && whole != 32) || v.elements.size() != 2 || (unpack && pack))
                p_.fail(line, "not implemented: this vector move");
            const auto half = static_cast<std::uint8_t>(whole / 2);
            if (unpack) {
                in.op = whole == 64 ? Op::Unpack64 : Op::Unpack32;
                in.d = register_operand(line, v.elements[0], OperandSpec{OperandSpec::Dst, half});
                in.e = register_operand(line, v.elements[1], OperandSpec{OperandSpec::Dst, half});
                in.a = source(line, ops[1], OperandSpec{OperandSpec::Src, whole});
            } else {
                in.op = whole == 64 ? Op::Pack64 : Op::Pack32;
                if (ops[0].kind != RawOperand::Name) p_.fail(line, "the destination must be a register");
                in.d = register_operand(line, ops[0].name, OperandSpec{OperandSpec::Dst, whole});
                in.a = source(line, RawOperand{RawOperand::Name, v.elements[0]}, OperandSpec{OperandSpec::Src, half});
                in.b = source(line, RawOperand{RawOperand::Name, v.elements[1]}, OperandSpec{OperandSpec::Src, half});
            }
            return true;
        }

        void resolve_branches() {
            for (const Branch& b : branches_) {
                const auto it = labels_.find(b.label);
                if (it == labels_.end()) p_.fail(b.line, "unknown label `" + std::string(b.label) + "`");
                k_.code[b.insn].imm = it->second;
            }
        }

        // The immediates get the slots after the registers; every operand
        // that names one is rewritten to its slot.
        void assign_immediate_slots() {
            const std::uint32_t first = max_slot_;
            const auto fix = [&](std::uint32_t& s) {
                if (s & IMMEDIATE) s = first + (s & ~IMMEDIATE);
            };
            for (Insn& in : k_.code) {
                fix(in.guard);
                fix(in.a);
                fix(in.b);
                fix(in.c);
                fix(in.e);
            }
            k_.initial_slots.assign(first + immediate_values_.size(), 0);
            k_.initial_slots[SLOT_TRUE] = 1;
            std::copy(immediate_values_.begin(), immediate_values_.end(), k_.initial_slots.begin() + first);
        }

        struct Branch {
            std::size_t insn;
            std::string_view label;
            std::uint32_t line;
        };

        Parser& p_;
        Kernel& k_;
        std::vector<Scope> scopes_;
        std::uint32_t next_slot_ = FIXED_SLOTS, max_slot_ = FIXED_SLOTS;
        std::unordered_map<std::uint64_t, std::uint32_t> immediates_;
        std::vector<std::uint64_t> immediate_values_;
        std::unordered_map<std::string_view, std::uint32_t> labels_;
        std::vector<Branch> branches_;
        CarryRuns runs_;
        std::vector<Declaration> declarations_;
    };

    std::shared_ptr<SourceText> source_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    Program program_;
};

}  // namespace

Program parse(std::string_view text) { return Parser(text).run(); }

}  // namespace ptx
