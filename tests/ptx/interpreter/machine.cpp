#include "tests/ptx/interpreter/machine.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/ptx/interpreter/error.hpp"

namespace ptx {
namespace {

__extension__ typedef unsigned __int128 u128;

inline std::uint32_t u32(std::uint64_t v) { return static_cast<std::uint32_t>(v); }
inline std::int32_t s32(std::uint64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }
inline std::int64_t s64(std::uint64_t v) { return static_cast<std::int64_t>(v); }

inline std::uint64_t low_bits(std::uint64_t v, unsigned bits) {
    return bits >= 64 ? v : v & ((std::uint64_t{1} << bits) - 1);
}
inline std::uint64_t sign_extend(std::uint64_t v, unsigned bits) {
    if (bits >= 64) return v;
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    v = low_bits(v, bits);
    return (v ^ sign) - sign;
}

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

[[noreturn]] [[gnu::cold]] void fault(const Kernel& k, const Insn& in, const std::string& what) {
    throw Error(k.source->message(in.line, what));
}

// The host address of `size` bytes at global address `address`, which must
// lie inside one of the thread's buffers and be naturally aligned.
inline std::uint8_t* global_bytes(const Kernel& k, const Insn& in, const Memory& m, std::uint64_t address,
                                  unsigned size) {
    for (const Buffer& b : m.global)
        if (address >= b.begin && address + size <= b.end && address + size > address) {
            if (address % size != 0) fault(k, in, "misaligned access of " + std::to_string(size) + " bytes at " + hex(address));
            return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
        }
    fault(k, in, "access of " + std::to_string(size) + " bytes at " + hex(address) +
                     " outside every buffer the kernel was given");
}

inline const std::uint8_t* space_bytes(const Kernel& k, const Insn& in, std::span<const std::uint8_t> space,
                                       std::uint64_t offset, unsigned size, const char* name) {
    if (offset > space.size() || size > space.size() - offset)
        fault(k, in, std::string("read outside the ") + name + " space at offset " + hex(offset));
    if (offset % size != 0) fault(k, in, std::string("misaligned ") + name + " read at offset " + hex(offset));
    return space.data() + offset;
}

inline std::uint64_t read_le(const std::uint8_t* p, unsigned size) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, size);  // the host is little-endian, as the device
    return v;
}

// A loaded value into a register of `in.width` bits.
inline std::uint64_t extend_loaded(const Insn& in, std::uint64_t v) {
    return in.sign ? low_bits(sign_extend(v, 8u * in.size), in.width) : v;
}

enum class FlagKind : std::uint8_t { None, Carry, Borrow };

// The carry flag as an instruction of chain kind `want` consumes it.
inline std::uint64_t consume(const Kernel& k, const Insn& in, std::uint64_t cf, FlagKind kind, FlagKind want) {
    if (kind != want) [[unlikely]]
        fault(k, in, want == FlagKind::Carry ? "a carry-in that no add or mad carry chain set"
                                             : "a borrow-in that no sub carry chain set");
    return cf;
}

}  // namespace

std::uint64_t run_thread(const Kernel& k, const Memory& m, const ThreadPlace& place) {
    thread_local std::vector<std::uint64_t> slots;
    slots.assign(k.initial_slots.begin(), k.initial_slots.end());
    std::uint64_t* const r = slots.data();
    const std::uint32_t ids[12] = {place.tid.x,   place.tid.y,   place.tid.z,   place.ntid.x,
                                   place.ntid.y,  place.ntid.z,  place.ctaid.x, place.ctaid.y,
                                   place.ctaid.z, place.nctaid.x, place.nctaid.y, place.nctaid.z};
    std::copy(std::begin(ids), std::end(ids), r + SLOT_TID);

    const Insn* const code = k.code.data();
    std::size_t pc = 0;
    std::uint64_t cf = 0;  // CC.CF
    // Which kind of chain set CC.CF: a borrow is not a carry, so a chain
    // that consumes the other kind's flag is refused (the parse has refused
    // one whose straight-line run sets none).
    FlagKind cf_kind = FlagKind::None;
    std::uint64_t executed = 0;
    std::uint64_t backward = 0;
    for (;;) {
        const Insn& in = code[pc++];
        ++executed;
        if (r[in.guard] == in.skip_when) continue;
        switch (in.op) {
            case Op::Mov: r[in.d] = r[in.a]; break;
            case Op::Pack64: r[in.d] = u32(r[in.a]) | std::uint64_t{u32(r[in.b])} << 32; break;
            case Op::Unpack64: {
                const std::uint64_t v = r[in.a];
                r[in.d] = u32(v);
                r[in.e] = v >> 32;
                break;
            }
            case Op::Pack32: r[in.d] = (r[in.a] & 0xffff) | (r[in.b] & 0xffff) << 16; break;
            case Op::Unpack32: {
                const std::uint32_t v = u32(r[in.a]);
                r[in.d] = v & 0xffff;
                r[in.e] = v >> 16;
                break;
            }
            case Op::Zext32: r[in.d] = u32(r[in.a]); break;
            case Op::Sext32: r[in.d] = static_cast<std::uint64_t>(static_cast<std::int64_t>(s32(r[in.a]))); break;
            case Op::Convert: {
                std::uint64_t v = low_bits(r[in.a], 8u * in.size);
                if (in.sign) v = sign_extend(v, 8u * in.size);
                v = low_bits(v, in.width);
                if (in.dsign) v = low_bits(sign_extend(v, in.width), in.dsign);
                r[in.d] = v;
                break;
            }

            case Op::Add32: r[in.d] = u32(r[in.a] + r[in.b]); break;
            case Op::Add64: r[in.d] = r[in.a] + r[in.b]; break;
            case Op::Sub32: r[in.d] = u32(r[in.a] - r[in.b]); break;
            case Op::Sub64: r[in.d] = r[in.a] - r[in.b]; break;
            case Op::Neg32: r[in.d] = u32(0 - r[in.a]); break;
            case Op::Neg64: r[in.d] = 0 - r[in.a]; break;
            case Op::MulLo32: r[in.d] = u32(r[in.a] * r[in.b]); break;
            case Op::MulLo64: r[in.d] = r[in.a] * r[in.b]; break;
            case Op::MulHiU32: r[in.d] = (r[in.a] * r[in.b]) >> 32; break;
            case Op::MulHiS32:
                r[in.d] = u32(static_cast<std::uint64_t>(std::int64_t{s32(r[in.a])} * s32(r[in.b])) >> 32);
                break;
            case Op::MulHiU64: r[in.d] = static_cast<std::uint64_t>((u128{r[in.a]} * r[in.b]) >> 64); break;
            case Op::MulWideU32: r[in.d] = r[in.a] * r[in.b]; break;
            case Op::MulWideS32:
                r[in.d] = static_cast<std::uint64_t>(std::int64_t{s32(r[in.a])} * s32(r[in.b]));
                break;
            case Op::MulWideU16: r[in.d] = r[in.a] * r[in.b]; break;
            case Op::MulWideS16:
                r[in.d] = u32(static_cast<std::uint64_t>(std::int64_t{static_cast<std::int16_t>(r[in.a])} *
                                                         static_cast<std::int16_t>(r[in.b])));
                break;
            case Op::MadLo32: r[in.d] = u32(r[in.a] * r[in.b] + r[in.c]); break;
            case Op::MadLo64: r[in.d] = r[in.a] * r[in.b] + r[in.c]; break;
            case Op::MadHiU32: r[in.d] = u32(((r[in.a] * r[in.b]) >> 32) + r[in.c]); break;
            case Op::MadWideU32: r[in.d] = r[in.a] * r[in.b] + r[in.c]; break;

            case Op::AddCc: {
                const std::uint64_t s = r[in.a] + r[in.b];
                r[in.d] = u32(s);
                cf = s >> 32;
                cf_kind = FlagKind::Carry;
                break;
            }
            case Op::Addc: r[in.d] = u32(r[in.a] + r[in.b] + consume(k, in, cf, cf_kind, FlagKind::Carry)); break;
            case Op::AddcCc: {
                const std::uint64_t s = r[in.a] + r[in.b] + consume(k, in, cf, cf_kind, FlagKind::Carry);
                r[in.d] = u32(s);
                cf = s >> 32;
                break;
            }
            case Op::SubCc: {
                const std::uint64_t a = r[in.a], b = r[in.b];
                r[in.d] = u32(a - b);
                cf = a < b;
                cf_kind = FlagKind::Borrow;
                break;
            }
            case Op::Subc: r[in.d] = u32(r[in.a] - r[in.b] - consume(k, in, cf, cf_kind, FlagKind::Borrow)); break;
            case Op::SubcCc: {
                const std::uint64_t a = r[in.a], b = r[in.b] + consume(k, in, cf, cf_kind, FlagKind::Borrow);
                r[in.d] = u32(a - b);
                cf = a < b;
                break;
            }
            case Op::MadLoCc: {
                const std::uint64_t s = u32(r[in.a] * r[in.b]) + r[in.c];
                r[in.d] = u32(s);
                cf = s >> 32;
                cf_kind = FlagKind::Carry;
                break;
            }
            case Op::MadHiCc: {
                const std::uint64_t s = ((r[in.a] * r[in.b]) >> 32) + r[in.c];
                r[in.d] = u32(s);
                cf = s >> 32;
                cf_kind = FlagKind::Carry;
                break;
            }
            case Op::MadcLo:
                r[in.d] = u32(u32(r[in.a] * r[in.b]) + r[in.c] + consume(k, in, cf, cf_kind, FlagKind::Carry));
                break;
            case Op::MadcLoCc: {
                const std::uint64_t s =
                    u32(r[in.a] * r[in.b]) + r[in.c] + consume(k, in, cf, cf_kind, FlagKind::Carry);
                r[in.d] = u32(s);
                cf = s >> 32;
                break;
            }
            case Op::MadcHi:
                r[in.d] = u32(((r[in.a] * r[in.b]) >> 32) + r[in.c] + consume(k, in, cf, cf_kind, FlagKind::Carry));
                break;
            case Op::MadcHiCc: {
                const std::uint64_t s =
                    ((r[in.a] * r[in.b]) >> 32) + r[in.c] + consume(k, in, cf, cf_kind, FlagKind::Carry);
                r[in.d] = u32(s);
                cf = s >> 32;
                break;
            }

            case Op::And: r[in.d] = r[in.a] & r[in.b]; break;
            case Op::Or: r[in.d] = r[in.a] | r[in.b]; break;
            case Op::Xor: r[in.d] = r[in.a] ^ r[in.b]; break;
            case Op::Not32: r[in.d] = u32(~r[in.a]); break;
            case Op::Not64: r[in.d] = ~r[in.a]; break;
            case Op::NotPred: r[in.d] = r[in.a] ^ 1; break;
            case Op::Shl32: r[in.d] = r[in.b] >= 32 ? 0 : u32(r[in.a] << r[in.b]); break;
            case Op::ShrU32: r[in.d] = r[in.b] >= 32 ? 0 : r[in.a] >> r[in.b]; break;
            case Op::ShrS32: r[in.d] = u32(static_cast<std::uint64_t>(s32(r[in.a]) >> std::min<std::uint64_t>(r[in.b], 31))); break;
            case Op::Shl64: r[in.d] = r[in.b] >= 64 ? 0 : r[in.a] << r[in.b]; break;
            case Op::ShrU64: r[in.d] = r[in.b] >= 64 ? 0 : r[in.a] >> r[in.b]; break;
            case Op::ShrS64: r[in.d] = static_cast<std::uint64_t>(s64(r[in.a]) >> std::min<std::uint64_t>(r[in.b], 63)); break;
            // Funnel shifts of the 64 bits b:a (b high); n ≤ 32.
            case Op::ShfLClamp:
            case Op::ShfLWrap: {
                const std::uint64_t n = in.op == Op::ShfLClamp ? std::min<std::uint64_t>(r[in.c], 32) : r[in.c] & 31;
                r[in.d] = u32(((r[in.b] << 32 | r[in.a]) << n) >> 32);
                break;
            }
            case Op::ShfRClamp:
            case Op::ShfRWrap: {
                const std::uint64_t n = in.op == Op::ShfRClamp ? std::min<std::uint64_t>(r[in.c], 32) : r[in.c] & 31;
                r[in.d] = u32((r[in.b] << 32 | r[in.a]) >> n);
                break;
            }
            case Op::Bfi32:
            case Op::Bfi64: {
                const unsigned bits = in.op == Op::Bfi32 ? 32 : 64;
                const std::uint64_t pos = r[in.c] & 0xff, len = r[in.e] & 0xff;
                std::uint64_t f = r[in.b];
                if (len != 0 && pos < bits) {
                    const std::uint64_t n = std::min<std::uint64_t>(len, bits - pos);
                    const std::uint64_t field = (n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1) << pos;
                    f = (f & ~field) | ((r[in.a] << pos) & field);
                }
                r[in.d] = low_bits(f, bits);
                break;
            }
            case Op::Prmt: {
                const std::uint64_t bytes = r[in.b] << 32 | r[in.a];
                const std::uint32_t selector = u32(r[in.c]);
                std::uint32_t out = 0;
                for (unsigned i = 0; i < 4; ++i) {
                    const std::uint32_t nibble = selector >> (4 * i) & 0xf;
                    std::uint32_t byte = u32(bytes >> (8 * (nibble & 7))) & 0xff;
                    if (nibble & 8) byte = byte & 0x80 ? 0xff : 0;  // the byte's sign, replicated
                    out |= byte << (8 * i);
                }
                r[in.d] = out;
                break;
            }

            case Op::SetpEq: r[in.d] = r[in.a] == r[in.b]; break;
            case Op::SetpNe: r[in.d] = r[in.a] != r[in.b]; break;
            case Op::SetpLtU: r[in.d] = r[in.a] < r[in.b]; break;
            case Op::SetpLeU: r[in.d] = r[in.a] <= r[in.b]; break;
            case Op::SetpGtU: r[in.d] = r[in.a] > r[in.b]; break;
            case Op::SetpGeU: r[in.d] = r[in.a] >= r[in.b]; break;
            case Op::SetpLtS32: r[in.d] = s32(r[in.a]) < s32(r[in.b]); break;
            case Op::SetpLeS32: r[in.d] = s32(r[in.a]) <= s32(r[in.b]); break;
            case Op::SetpGtS32: r[in.d] = s32(r[in.a]) > s32(r[in.b]); break;
            case Op::SetpGeS32: r[in.d] = s32(r[in.a]) >= s32(r[in.b]); break;
            case Op::SetpLtS64: r[in.d] = s64(r[in.a]) < s64(r[in.b]); break;
            case Op::SetpLeS64: r[in.d] = s64(r[in.a]) <= s64(r[in.b]); break;
            case Op::SetpGtS64: r[in.d] = s64(r[in.a]) > s64(r[in.b]); break;
            case Op::SetpGeS64: r[in.d] = s64(r[in.a]) >= s64(r[in.b]); break;
            case Op::Selp: r[in.d] = r[in.c] ? r[in.a] : r[in.b]; break;

            case Op::LdParam: {
                const std::uint64_t offset = r[in.a] + static_cast<std::uint64_t>(in.imm);
                r[in.d] = extend_loaded(in, read_le(space_bytes(k, in, m.params, offset, in.size, "parameter"), in.size));
                break;
            }
            case Op::LdConst: {
                const std::uint64_t offset = r[in.a] + static_cast<std::uint64_t>(in.imm) - CONST_BASE;
                r[in.d] = extend_loaded(in, read_le(space_bytes(k, in, m.constant, offset, in.size, "constant"), in.size));
                break;
            }
            case Op::LdGlobal: {
                const std::uint64_t address = r[in.a] + static_cast<std::uint64_t>(in.imm);
                r[in.d] = extend_loaded(in, read_le(global_bytes(k, in, m, address, in.size), in.size));
                break;
            }
            case Op::StGlobal: {
                const std::uint64_t address = r[in.a] + static_cast<std::uint64_t>(in.imm);
                const std::uint64_t v = r[in.b];
                std::memcpy(global_bytes(k, in, m, address, in.size), &v, in.size);
                break;
            }
            case Op::AtomAdd32: {
                auto* p = reinterpret_cast<std::uint32_t*>(global_bytes(k, in, m, r[in.a] + static_cast<std::uint64_t>(in.imm), 4));
                r[in.d] = std::atomic_ref<std::uint32_t>(*p).fetch_add(u32(r[in.b]));
                break;
            }
            case Op::AtomAdd64: {
                auto* p = reinterpret_cast<std::uint64_t*>(global_bytes(k, in, m, r[in.a] + static_cast<std::uint64_t>(in.imm), 8));
                r[in.d] = std::atomic_ref<std::uint64_t>(*p).fetch_add(r[in.b]);
                break;
            }

            case Op::Bra: {
                const auto target = static_cast<std::size_t>(in.imm);
                if (target < pc && ++backward > BACKWARD_BRANCH_LIMIT)
                    fault(k, in, "more than " + std::to_string(BACKWARD_BRANCH_LIMIT) + " backward branches: a loop that does not end");
                pc = target;
                break;
            }
            case Op::Ret: return executed;
        }
    }
}

}  // namespace ptx
