#include "tests/ptx/interpreter/register_writes.hpp"

#include <algorithm>
#include <vector>

#include "tests/ptx/interpreter/error.hpp"

namespace ptx {
namespace {

// One bit per register slot: written on every path so far.
class Written {
public:
    Written(std::uint32_t slots, bool all) : words_((slots + 63) / 64, all ? ~std::uint64_t{0} : 0) {}
    bool has(std::uint32_t i) const { return words_[i / 64] >> (i % 64) & 1; }
    void set(std::uint32_t i) { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
    void clear(std::uint32_t i) { words_[i / 64] &= ~(std::uint64_t{1} << (i % 64)); }
    void keep_common(const Written& other) {
        for (std::size_t w = 0; w < words_.size(); ++w) words_[w] &= other.words_[w];
    }
    bool operator==(const Written&) const = default;

private:
    std::vector<std::uint64_t> words_;
};

struct Block {
    std::size_t begin, end;
    std::vector<std::size_t> successors;
};

// The kernel's basic blocks: they begin at the start, at every branch
// target and after every branch or ret.
std::vector<Block> blocks_of(const std::vector<Insn>& code) {
    std::vector<bool> leader(code.size() + 1, false);
    leader[0] = true;
    for (std::size_t i = 0; i < code.size(); ++i)
        if (code[i].op == Op::Bra || code[i].op == Op::Ret) {
            leader[i + 1] = true;
            if (code[i].op == Op::Bra) leader[static_cast<std::size_t>(code[i].imm)] = true;
        }
    std::vector<std::size_t> block_at(code.size() + 1, 0);
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (leader[i]) blocks.push_back({i, i, {}});
        blocks.back().end = i + 1;
        block_at[i] = blocks.size() - 1;
    }
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const Insn& last = code[blocks[b].end - 1];
        const bool conditional = last.guard != SLOT_TRUE;
        if (last.op == Op::Bra) blocks[b].successors.push_back(block_at[static_cast<std::size_t>(last.imm)]);
        const bool falls_through = (last.op != Op::Bra && last.op != Op::Ret) || conditional;
        if (falls_through && blocks[b].end < code.size()) blocks[b].successors.push_back(b + 1);
    }
    return blocks;
}

class Analysis {
public:
    Analysis(const Kernel& k, std::uint32_t registers_end, std::span<const Declaration> declarations)
        : k_(k), end_(registers_end), declarations_(declarations), slots_(registers_end - FIXED_SLOTS) {
        // Declarations come in text order: those made at instruction i are
        // first_at_[i] up to first_at_[i + 1].
        first_at_.resize(k.code.size() + 2);
        std::size_t d = 0;
        for (std::size_t i = 0; i < first_at_.size(); ++i) {
            while (d < declarations.size() && declarations[d].at < i) ++d;
            first_at_[i] = d;
        }
    }

    void run() {
        const std::vector<Block> blocks = blocks_of(k_.code);
        std::vector<std::vector<std::size_t>> predecessors(blocks.size());
        for (std::size_t b = 0; b < blocks.size(); ++b)
            for (std::size_t s : blocks[b].successors) predecessors[s].push_back(b);
        // Every block's state at its end, from "everything written" down to
        // the fixed point; the start has nothing written.
        std::vector<Written> out(blocks.size(), Written(slots_, true));
        for (bool changed = true; changed;) {
            changed = false;
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                Written state = entry_state(b, predecessors[b], out);
                for (std::size_t i = blocks[b].begin; i < blocks[b].end; ++i) step(i, state, false);
                if (!(state == out[b])) {
                    out[b] = std::move(state);
                    changed = true;
                }
            }
        }
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            Written state = entry_state(b, predecessors[b], out);
            for (std::size_t i = blocks[b].begin; i < blocks[b].end; ++i) step(i, state, true);
        }
    }

private:
    Written entry_state(std::size_t b, const std::vector<std::size_t>& predecessors,
                        const std::vector<Written>& out) const {
        Written state(slots_, b != 0);
        for (std::size_t p : predecessors) state.keep_common(out[p]);
        return state;
    }

    bool is_register(std::uint32_t slot) const { return slot >= FIXED_SLOTS && slot < end_; }

    // Instruction i on `state`: the registers declared anew there lose
    // their writes, its reads are checked (when `check`), then its writes
    // count if it is unguarded.
    void step(std::size_t i, Written& state, bool check) const {
        for (std::size_t d = first_at_[i]; d < first_at_[i + 1]; ++d)
            for (std::uint32_t s = 0; s < declarations_[d].count; ++s)
                state.clear(declarations_[d].first_slot + s - FIXED_SLOTS);
        const Insn& in = k_.code[i];
        const bool unpack = in.op == Op::Unpack64 || in.op == Op::Unpack32;
        if (check)
            for (std::uint32_t slot : {in.guard, in.a, in.b, in.c, unpack ? SLOT_TRUE : in.e})
                if (is_register(slot) && !state.has(slot - FIXED_SLOTS)) refuse(i, slot);
        if (in.guard != SLOT_TRUE || in.op == Op::StGlobal || in.op == Op::Bra || in.op == Op::Ret) return;
        if (is_register(in.d)) state.set(in.d - FIXED_SLOTS);
        if (unpack && is_register(in.e)) state.set(in.e - FIXED_SLOTS);
    }

    [[noreturn]] void refuse(std::size_t i, std::uint32_t slot) const {
        throw Error(k_.source->message(k_.code[i].line, "reads `" + name_of(slot, i) +
                                                            "` where not every path here has written it"));
    }

    std::string name_of(std::uint32_t slot, std::size_t i) const {
        for (auto d = declarations_.rbegin(); d != declarations_.rend(); ++d)
            if (d->at <= i && slot >= d->first_slot && slot < d->first_slot + d->count)
                return d->range ? d->name + std::to_string(slot - d->first_slot) : d->name;
        return "a register";
    }

    const Kernel& k_;
    std::uint32_t end_;
    std::span<const Declaration> declarations_;
    std::uint32_t slots_;
    std::vector<std::size_t> first_at_;
};

}  // namespace

void check_registers_written(const Kernel& kernel, std::uint32_t registers_end,
                             std::span<const Declaration> declarations) {
    Analysis(kernel, registers_end, declarations).run();
}

}  // namespace ptx
