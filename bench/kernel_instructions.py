#!/usr/bin/env python3
"""Machine instructions per nonce of each kernel module's mining kernel.

Reads the machine code (SASS) that a CUDA build of this project compiled for
the kernel modules, counts the instructions that k_mine<false> executes per
nonce, by instruction class, and gives the rate of the throughput model in
bench/README.md ("Modelled rate").

    cmake -S . -B build-sass -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build-sass --parallel 4 --target ovik_energy_layer_cuda \\
        ovik_compact_layer_cuda ovik_hb89_layer_cuda ovik_fast89_layer_cuda \\
        ovik_fast120_layer_cuda ovik_fast86_layer_cuda
    python3 bench/kernel_instructions.py --build build-sass [--nvdisasm PATH]

Where the machine code comes from: each module's object file (the path its
compile command in compile_commands.json writes) carries a fat binary in its
.nv_fatbin section; the script reads the cubin of every architecture out of
it itself (a zstd-compressed entry, as --compress-mode=size makes them, is
unpacked with Python's compression.zstd or the zstd command) and
disassembles it with nvdisasm. A module none of whose cubins the
disassembler reads (fast120, 12.0 only, with a disassembler that stops at
9.0) is compiled once more by its own compile command with only the
architecture changed (--proxy-arch, default 90), under its own launch
bound, and its row is marked as that proxy.

nvcc 13 writes the ELF header's flags in a newer layout (ELF ABI version 8,
the architecture in bits 8-15), in which CUDA 11.8's nvdisasm finds no
architecture; when a cubin is refused, it is tried again with the flags in
the older layout (the architecture in bits 0-7 and 16-23). That nvdisasm
also leaves out, printing only its encoding, the add of an immediate that
nvcc emits for 9.0 (VIADD, the round loops' counter step); the script
decodes that one instruction itself and stops at any other it is not shown.

How a count is made: the function's SASS is run by a small interpreter that
follows its control flow and tracks concrete 32-bit values only for the
integer operations that loop counters are made of (MOV, IADD3, VIADD, IMAD,
ISETP, SEL, LOP3, SHF, LEA, CS2R of zero, PLOP3 and their uniform forms, loads of
the iteration count from the parameters, spills to local memory and their
reloads); everything else, the hash data above all, is unknown. Every
executed instruction is counted, its guard predicate true or not (a
predicated-off instruction still takes its issue slot). A branch on data is
decided as random data decides it: a random hash never meets the target, so
where only one way leads to the candidate slot (the atomic add) the other is
taken; elsewhere an equality of unknown words is false and an inequality
true (the canonical-form tests); any other branch on data, or a backward
one (a loop the interpreter cannot follow), is an error. --decisions lists
the branches decided. The kernel is run with iters = 1 and iters = 3; per
nonce = (count(3) - count(1)) / 2, so the code before and after the
iteration loop drops out.

The model: per SM sub-partition one warp instruction issued a cycle, the
multiply-add (fma) pipe and the integer ALU pipe each taking two cycles a
warp instruction, so a warp's 32 nonces take max(all, 2 x fma, 2 x ALU)
cycles, on four sub-partitions per SM: H100 SXM (132 SMs, 1.75 GHz) for 9.0
code, RTX 4090 (128 SMs, 2.52 GHz) for 8.9 and 8.6 code. The fma pipe takes
IMAD in all its forms (IMAD.MOV, .WIDE, .HI, .X...) and the other multiplies;
the ALU pipe IADD3, LOP3, SHF, LEA, SEL, ISETP, PRMT, MOV and their kin;
uniform-datapath, constant loads, special registers and branches neither.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import json
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile

MASK32 = 0xFFFFFFFF
MINING_KERNEL = "6k_mineILb0E"  # k_mine<false> in every module's mangling
ITERS_PARAM = 3  # k_mine(mid, base, nonce_start, iters, ...): iters' ordinal

# The throughput model: devices by the compute capability whose code they run.
MODEL_DEVICES = {
    90: ("H100 SXM, 1.75 GHz", 132, 1.75e9),
    89: ("RTX 4090", 128, 2.52e9),
    86: ("RTX 4090", 128, 2.52e9),
}
SUB_PARTITIONS = 4
WARP = 32

FMA_PIPE = ("IMAD", "IMUL", "IDP", "FFMA", "FMUL", "FADD")
ALU_PIPE = ("IADD3", "IADD", "LOP3", "LOP", "SHF", "SHL", "SHR", "LEA", "SEL", "ISETP", "PRMT",
            "MOV", "IABS", "IMNMX", "BMSK", "SGXT", "PLOP3", "P2R", "R2P", "FSEL", "FSETP",
            "FMNMX", "ISCADD", "VIADD", "VIMNMX")


class CountError(Exception):
    pass


class NotRead(CountError):
    """The disassembler does not read a cubin (an architecture it does not know)."""


# --- ELF ------------------------------------------------------------------

@dataclasses.dataclass
class Section:
    name: str
    type: int
    offset: int
    size: int
    link: int
    info: int


class Elf:
    """The sections and symbols of a 64-bit little-endian ELF file."""

    def __init__(self, data: bytes):
        if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
            raise CountError("not a 64-bit little-endian ELF file")
        self.data = data
        shoff, = struct.unpack_from("<Q", data, 0x28)
        entsize, count, names = struct.unpack_from("<HHH", data, 0x3A)
        raw = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * entsize) for i in range(count)]
        strtab = raw[names][4]
        self.sections = [Section(self._string(strtab, s[0]), s[1], s[4], s[5], s[6], s[7]) for s in raw]

    def _string(self, table: int, offset: int) -> str:
        start = table + offset
        return self.data[start:self.data.index(b"\0", start)].decode()

    def section(self, name: str) -> bytes | None:
        for s in self.sections:
            if s.name == name:
                return self.data[s.offset:s.offset + s.size]
        return None

    def functions(self) -> list[tuple[int, str]]:
        """(symbol index, name) of every function symbol."""
        table = next((s for s in self.sections if s.type == 2), None)  # SHT_SYMTAB
        if table is None:
            return []
        strtab = self.sections[table.link].offset
        found = []
        for i in range(table.size // 24):
            name, info = struct.unpack_from("<IB", self.data, table.offset + 24 * i)
            if info & 0xF == 2:  # STT_FUNC
                found.append((i, self._string(strtab, name)))
        return found


# --- fat binaries ---------------------------------------------------------

FATBIN_MAGIC = 0xBA55ED50
FATBIN_ELF = 2
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


def unzstd(data: bytes) -> bytes:
    try:
        from compression import zstd  # Python 3.14
        return zstd.decompress(data)
    except ImportError:
        pass
    if shutil.which("zstd") is None:
        raise CountError("the fat binary is zstd-compressed: install the zstd command (Debian: zstd)")
    return subprocess.run(["zstd", "-dcq"], input=data, capture_output=True, check=True).stdout


def fatbin_cubins(blob: bytes) -> dict[int, bytes]:
    """The cubin of each architecture in a fat binary: {80: elf bytes, ...}."""
    magic, _, header, size = struct.unpack_from("<IHHQ", blob, 0)
    if magic != FATBIN_MAGIC:
        raise CountError("the .nv_fatbin section does not start with a fat binary header")
    cubins = {}
    offset, end = header, header + size
    while offset < end:
        kind, _, entry_header, payload_size = struct.unpack_from("<HHIQ", blob, offset)
        packed_size, = struct.unpack_from("<I", blob, offset + 16)
        arch, = struct.unpack_from("<I", blob, offset + 28)
        payload = blob[offset + entry_header:offset + entry_header + payload_size]
        if kind == FATBIN_ELF:
            cubins[arch] = unpack_entry(payload, packed_size, arch)
        offset += entry_header + payload_size
    return cubins


def unpack_entry(payload: bytes, packed_size: int, arch: int) -> bytes:
    if payload[:4] == b"\x7fELF":
        return payload
    if payload[:4] == ZSTD_MAGIC:
        return unzstd(payload[:packed_size])
    raise CountError(f"sm_{arch}: the fat binary entry is compressed in a form this script does not "
                     "read (it reads uncompressed entries and zstd, as --compress-mode=size writes)")


# --- cubin facts ----------------------------------------------------------

EIATTR_PARAM_CBANK = 0x0A
EIATTR_FRAME_SIZE = 0x11
EIATTR_KPARAM_INFO = 0x17
EIATTR_MAXREG_COUNT = 0x1B
EIATTR_REGCOUNT = 0x2F


def nv_info(blob: bytes) -> list[tuple[int, bytes]]:
    """The (attribute, value) records of an .nv.info section."""
    records, at = [], 0
    while at + 2 <= len(blob):
        form, attribute = blob[at], blob[at + 1]
        if form == 4:  # a sized value
            size, = struct.unpack_from("<H", blob, at + 2)
            records.append((attribute, blob[at + 4:at + 4 + size]))
            at += 4 + size
        elif form == 3:  # a 16-bit value
            records.append((attribute, blob[at + 2:at + 4]))
            at += 4
        else:
            at += 2
    return records


@dataclasses.dataclass
class Kernel:
    name: str
    registers: int
    register_bound: int | None
    frame_bytes: int
    iters_offset: int  # of the iteration count in constant bank 0


def mining_kernel(elf: Elf) -> Kernel:
    named = [(i, n) for i, n in elf.functions() if MINING_KERNEL in n]
    if len(named) != 1:
        raise CountError(f"expected one k_mine<false>, found {[n for _, n in named]}")
    index, name = named[0]
    per_symbol = {}
    for attribute, value in nv_info(elf.section(".nv.info") or b""):
        if len(value) == 8:
            symbol, word = struct.unpack("<II", value)
            if symbol == index:
                per_symbol[attribute] = word
    own = nv_info(elf.section(".nv.info." + name) or b"")
    bound = param_base = iters_at = None
    for attribute, value in own:
        if attribute == EIATTR_MAXREG_COUNT:
            bound, = struct.unpack("<H", value)
        elif attribute == EIATTR_PARAM_CBANK:
            _, param_base, _ = struct.unpack("<IHH", value)
        elif attribute == EIATTR_KPARAM_INFO:
            _, ordinal, offset, _ = struct.unpack("<IHHI", value)
            if ordinal == ITERS_PARAM:
                iters_at = offset
    if param_base is None or iters_at is None:
        raise CountError(f"{name}: no parameter layout in .nv.info")
    return Kernel(name, per_symbol.get(EIATTR_REGCOUNT, 0), bound,
                  per_symbol.get(EIATTR_FRAME_SIZE, 0), param_base + iters_at)


# --- disassembly ----------------------------------------------------------

def older_header(cubin: bytes) -> bytes | None:
    """The cubin with its ELF flags in the older layout, or None when they
    are not in the newer one."""
    flags, = struct.unpack_from("<I", cubin, 0x30)
    arch = (flags >> 8) & 0xFF
    if cubin[8] < 8 or arch == 0:  # the newer layout comes with ELF ABI version 8
        return None
    patched = bytearray(cubin)
    # sm and virtual sm, 64-bit addresses (0x400), unified texture mode (0x100)
    struct.pack_into("<I", patched, 0x30, arch | (arch << 16) | 0x500)
    return bytes(patched)


def disassemble(nvdisasm: str, cubin: bytes, work: str, tag: str) -> str:
    """nvdisasm's text of the code sections, or CountError."""
    attempts = [cubin]
    older = older_header(cubin)
    if older is not None:
        attempts.append(older)
    error = ""
    for data in attempts:
        path = os.path.join(work, tag + ".cubin")
        with open(path, "wb") as f:
            f.write(data)
        run = subprocess.run([nvdisasm, "-c", "-hex", path], capture_output=True, text=True)
        if run.returncode == 0 and ".text." in run.stdout:
            return run.stdout
        error = (run.stderr or run.stdout).strip().splitlines()[-1:] or ["no code"]
        error = error[0]
    raise NotRead(error)


def function_lines(listing: str, name: str) -> list[str]:
    lines, inside = [], False
    for line in listing.splitlines():
        if line.startswith("//----"):
            inside = line.split()[1] == ".text." + name if len(line.split()) > 1 else False
        elif inside:
            lines.append(line)
    if not lines:
        raise CountError(f"no code for {name} in the listing")
    return lines


# --- SASS -----------------------------------------------------------------

REGISTER = re.compile(r"^(U?R)(\d+|Z)$")
PREDICATE = re.compile(r"^!?(U?P)([0-6T])$")
CONSTANT = re.compile(r"^c\[0x0\]\[(0x[0-9a-f]+)\]$")
IMMEDIATE = re.compile(r"^-?(0x[0-9a-f]+|\d+)$")


def is_predicate(operand: str) -> bool:
    return PREDICATE.match(operand) is not None


def is_register(operand: str) -> bool:
    return REGISTER.match(operand) is not None


def register_after(name: str, step: int) -> str:
    kind, number = REGISTER.match(name).groups()
    return name if number == "Z" else f"{kind}{int(number) + step}"


class Instruction:
    """One SASS instruction: its guard, opcode with modifiers, operands (the
    .reuse hints dropped), and the registers and predicates it writes."""

    def __init__(self, address: int, guard: str | None, opcode: str, operands: list[str], text: str):
        self.address, self.guard, self.opcode, self.text = address, guard, opcode, text
        self.operands = [o.removesuffix(".reuse") for o in operands]
        self.base, *self.modifiers = opcode.split(".")
        self.regs, self.preds, self.sources = self._destinations()

    def _destinations(self) -> tuple[list[str], list[str], list[str]]:
        """Written registers, written predicates, and the source operands."""
        ops = self.operands
        if self.base.endswith("SETP") or self.base == "PLOP3":
            return [], ops[:2], ops[2:]
        preds, at = [], 0
        if ops and is_predicate(ops[0]):  # LOP3.LUT P0, R1, ...; ATOMG PT, R2, ...
            preds, at = [ops[0]], 1
            if not (len(ops) > 1 and is_register(ops[1])):
                return [], preds, ops[1:]
        if at >= len(ops) or not (is_register(ops[at]) or ops[at] == "PR"):
            return [], preds, ops[at:]
        if ops[at] == "PR":  # all predicates at once
            return [], [f"{k}P{i}" for k in ("", "U") for i in range(7)], ops[at + 1:]
        width = 4 if "128" in self.modifiers else 2 if {"64", "WIDE"} & set(self.modifiers) else 1
        if self.base == "CS2R" and "32" not in self.modifiers:
            width = 2
        regs = [register_after(ops[at], i) for i in range(width)]
        at += 1
        while at < len(ops) and is_predicate(ops[at]) and not ops[at].startswith("!"):  # carry-outs
            preds.append(ops[at])
            at += 1
        return regs, preds, ops[at:]


INSTRUCTION = re.compile(r"^\s*/\*([0-9a-f]+)\*/\s+(?:@(!?U?P[0-6T])\s+)?([A-Z][A-Z0-9_.]*)\s*(.*?)\s*;")
LABEL = re.compile(r"^\s*(\.L_[A-Za-z0-9_]+):")
TARGET = re.compile(r"^`\((\.L_[A-Za-z0-9_]+)\)$")
ENCODING = re.compile(r"/\* (0x[0-9a-f]{16}) \*/\s*$")


def split_operands(text: str) -> list[str]:
    operands, depth, current = [], 0, ""
    for ch in text:
        if ch == "," and depth == 0:
            operands.append(current.strip())
            current = ""
            continue
        depth += (ch in "[(") - (ch in "])")
        current += ch
    if current.strip():
        operands.append(current.strip())
    return operands


@dataclasses.dataclass
class Program:
    instructions: list[Instruction]
    labels: dict[str, int]  # label -> instruction index

    def target(self, ins: Instruction) -> int:
        found = TARGET.match(ins.operands[0]) if len(ins.operands) == 1 else None
        if not found or found.group(1) not in self.labels:
            raise CountError(f"not followed: {ins.text}")
        return self.labels[found.group(1)]


def parse_sass(lines: list[str]) -> Program:
    """The instructions of nvdisasm's listing made with -hex: every
    instruction is two 64-bit words, and one that the disassembler does not
    know is shown as its words alone."""
    program, labels, pending = [], {}, []
    words: list[int] = []
    printed, shown = None, ""
    for line in lines:
        label = LABEL.match(line)
        if label:
            pending.append(label.group(1))
            continue
        encoding = ENCODING.search(line)
        if not encoding:
            continue
        if not words:
            found = INSTRUCTION.match(line)
            printed = found.groups() if found else None
            shown = ENCODING.sub("", line).strip()
        words.append(int(encoding.group(1), 16))
        if len(words) < 2:
            continue
        address = 16 * len(program)
        if printed is None:
            ins = decode_unprinted(address, *words)
        else:
            at, guard, opcode, rest = printed
            if int(at, 16) != address:
                raise CountError(f"the instruction at 0x{at} is the one at 0x{address:x}")
            ins = Instruction(address, guard, opcode, split_operands(rest), shown)
        for name in pending:
            labels[name] = len(program)
        pending, words = [], []
        program.append(ins)
    for name in pending:
        labels[name] = len(program)
    return Program(program, labels)


def decode_unprinted(address: int, low: int, high: int) -> Instruction:
    """An instruction the disassembler did not print. Only one is known: the
    add of an immediate that nvcc 12 and later emit for 9.0 (VIADD Rd, Ra,
    imm32: opcode 0x836, Rd in bits 16-23, Ra in 24-31, imm32 in 32-63, no
    other operand bits in the high word below its control bits)."""
    opcode, guard = low & 0xFFF, low >> 12 & 0xF
    if opcode != 0x836 or high & ((1 << 41) - 1):
        raise CountError(f"0x{address:04x}: the disassembler does not know the instruction "
                         f"0x{high:016x}{low:016x}")
    reg = lambda n: "RZ" if n == 0xFF else f"R{n}"
    shown_guard = None if guard == 7 else ("!" if guard & 8 else "") + f"P{guard & 7}"
    operands = [reg(low >> 16 & 0xFF), reg(low >> 24 & 0xFF), f"0x{low >> 32:x}"]
    prefix = f"@{shown_guard} " if shown_guard else ""
    text = f"/*{address:04x}*/ {prefix}VIADD {', '.join(operands)} ; (decoded from its encoding)"
    return Instruction(address, shown_guard, "VIADD", operands, text)


# --- the interpreter ------------------------------------------------------

# A predicate is (value, known). An unknown one carries the value random
# data gives it, or None where random data decides nothing (an ordered
# comparison, a carry).
Pred = tuple  # (bool or None, bool)
TRUE: Pred = (True, True)
UNKNOWN: Pred = (None, False)
CONTROL = ("EXIT", "BRA", "CALL", "RET", "BRX", "JMP", "JMX")
STACK_POINTER, STACK_TOP = 0x28, 0x1000  # the stack pointer's word in constant bank 0, and a value for it
LOCAL = re.compile(r"^\[(U?R\d+)(?:(\+|-)(0x[0-9a-f]+))?\]$")
STEP_LIMIT = 2_000_000


def signed32(v: int) -> int:
    return (v ^ 0x80000000) - 0x80000000


def compare(kind: str, a: int, b: int, signed: bool) -> bool:
    if signed:
        a, b = signed32(a), signed32(b)
    return {"EQ": a == b, "NE": a != b, "LT": a < b, "LE": a <= b, "GT": a > b, "GE": a >= b}[kind]


def random_outcome(kind: str) -> bool | None:
    """A comparison with an unknown word, on random data: two words are
    never equal; an ordered comparison is not decided."""
    return {"EQ": False, "NE": True}.get(kind)


def combine(op: str, a: Pred, b: Pred) -> Pred:
    if op == "AND" and (a == (False, True) or b == (False, True)):
        return (False, True)
    if op == "OR" and (a == TRUE or b == TRUE):
        return TRUE
    if a[0] is None or b[0] is None:
        return UNKNOWN
    value = {"AND": a[0] and b[0], "OR": a[0] or b[0], "XOR": a[0] != b[0]}[op]
    return (value, a[1] and b[1])


def negate(p: Pred) -> Pred:
    return (None if p[0] is None else not p[0], p[1])


def lut(table: int, a: int, b: int, c: int) -> int:
    result = 0
    for i in range(8):
        if table >> i & 1:
            result |= (a if i & 4 else ~a) & (b if i & 2 else ~b) & (c if i & 1 else ~c)
    return result & MASK32


def funnel_shift(mods: list[str], lo: int, shift: int, hi: int) -> int:
    """SHF: the low (or, with .HI, high) word of hi:lo shifted."""
    wide = hi << 32 | lo
    shift = min(shift, 64 if {"U64", "S64"} & set(mods) else 32)
    if "L" in mods:
        shifted = wide << shift
    else:
        if {"S32", "S64"} & set(mods):
            wide -= (wide >> 63) << 64
        shifted = wide >> shift
    return (shifted >> 32 if "HI" in mods else shifted) & MASK32


class Machine:
    """One thread's registers and predicates, each value known or not."""

    def __init__(self, constants: dict[int, int]):
        self.constants = {STACK_POINTER: STACK_TOP} | constants  # the known words of constant bank 0
        self.regs: dict[str, int] = {}
        self.preds: dict[str, Pred] = {}
        self.local: dict[int, int] = {}  # local memory (spills), by address

    def value(self, operand: str) -> int | None:
        if operand[0] in "-~":
            v = self.value(operand[1:])
            return None if v is None else (-v if operand[0] == "-" else ~v) & MASK32
        if operand in ("RZ", "URZ"):
            return 0
        if IMMEDIATE.match(operand):
            return int(operand, 0) & MASK32
        constant = CONSTANT.match(operand)
        if constant:
            return self.constants.get(int(constant.group(1), 16))
        return self.regs.get(operand)

    def pred(self, operand: str) -> Pred:
        name = operand.lstrip("!")
        p = TRUE if name in ("PT", "UPT") else self.preds.get(name, UNKNOWN)
        return negate(p) if operand.startswith("!") else p

    def local_address(self, operand: str) -> int | None:
        found = LOCAL.match(operand)
        base = self.value(found.group(1)) if found else None
        if base is None:
            return None
        return base + (int(found.group(3), 16) * (-1 if found.group(2) == "-" else 1) if found.group(2) else 0)

    def write(self, name, value) -> None:
        if isinstance(name, int):  # a word of local memory
            if value is None:
                self.local.pop(name, None)
            else:
                self.local[name] = value & MASK32
        elif is_predicate(name):
            if name not in ("PT", "UPT"):
                self.preds[name] = value
        elif name not in ("RZ", "URZ"):
            if value is None:
                self.regs.pop(name, None)
            else:
                self.regs[name] = value & MASK32

    def results(self, ins: Instruction) -> dict:
        """The values the instruction writes (None or UNKNOWN where not
        tracked)."""
        out = {r: None for r in ins.regs} | {p: UNKNOWN for p in ins.preds}
        base = "MOV" if ins.base == "UMOV" else ins.base
        if base.startswith("U") and base[1:] in TRACKED:
            base = base[1:]
        if base in TRACKED:
            out.update(TRACKED[base](self, ins, [self.value(o) for o in ins.sources]))
        elif base in ("STL", "LDL"):
            out.update(self.local_access(ins))
        return out

    def local_access(self, ins: Instruction) -> dict:
        """A spill or its reload: STL [addr], Rs; LDL Rd, [addr]."""
        words = 4 if "128" in ins.modifiers else 2 if "64" in ins.modifiers else 1
        if ins.base == "LDL":
            at = self.local_address(ins.sources[0]) if ins.sources else None
            return {} if at is None else {r: self.local.get(at + 4 * i) for i, r in enumerate(ins.regs)}
        at = self.local_address(ins.operands[0])
        if at is None:
            if self.local:
                raise CountError(f"a store to local memory at an address not tracked: {ins.text}")
            return {}
        source = ins.operands[1]
        return {at + 4 * i: self.value(register_after(source, i) if is_register(source) else source)
                for i in range(words)}


def mov(m: Machine, ins: Instruction, v: list) -> dict:
    return {ins.regs[0]: v[0]} if ins.regs and len(v) == 1 else {}


def cs2r(m: Machine, ins: Instruction, v: list) -> dict:
    return {r: 0 for r in ins.regs} if ins.sources == ["SRZ"] else {}


def ldc(m: Machine, ins: Instruction, v: list) -> dict:
    constant = CONSTANT.match(ins.sources[0]) if len(ins.sources) == 1 else None
    if not constant or set(ins.modifiers) - {"64"}:
        return {}
    at = int(constant.group(1), 16)
    return {r: m.constants.get(at + 4 * i) for i, r in enumerate(ins.regs)}


def imad(m: Machine, ins: Instruction, v: list) -> dict:
    if {"X", "HI"} & set(ins.modifiers) or len(v) != 3 or None in v:
        return {}
    if "WIDE" not in ins.modifiers:
        return {ins.regs[0]: v[0] * v[1] + v[2]}
    addend = ins.sources[2]
    high = 0 if not is_register(addend) or addend in ("RZ", "URZ") else m.value(register_after(addend, 1))
    if high is None:
        return {}
    a, b = (v[0], v[1]) if "U32" in ins.modifiers else (signed32(v[0]), signed32(v[1]))
    r = a * b + (high << 32 | v[2])
    return {ins.regs[0]: r & MASK32, ins.regs[1]: r >> 32 & MASK32}


def add(m: Machine, ins: Instruction, v: list) -> dict:  # IADD3 and VIADD, without carry-in
    if "X" in ins.modifiers or len(v) not in (2, 3) or None in v:
        return {}
    return {ins.regs[0]: sum(v)}


def sel(m: Machine, ins: Instruction, v: list) -> dict:
    p = m.pred(ins.sources[2])
    return {ins.regs[0]: (v[0] if p[0] else v[1])} if p[1] else {}


def lop3(m: Machine, ins: Instruction, v: list) -> dict:
    if "LUT" not in ins.modifiers or len(v) < 4 or None in v[:4]:
        return {}
    r = lut(v[3], v[0], v[1], v[2])
    out = {ins.regs[0]: r} if ins.regs else {}
    if ins.preds:
        out[ins.preds[0]] = (r != 0, True)
    return out


def shf(m: Machine, ins: Instruction, v: list) -> dict:
    return {ins.regs[0]: funnel_shift(ins.modifiers, *v)} if len(v) == 3 and None not in v else {}


def lea(m: Machine, ins: Instruction, v: list) -> dict:  # LEA d, a, b, shift = (a << shift) + b
    if {"X", "HI"} & set(ins.modifiers) or len(v) != 3 or None in v:
        return {}
    return {ins.regs[0]: (v[0] << v[2]) + v[1]}


def isetp(m: Machine, ins: Instruction, v: list) -> dict:
    """ISETP.cmp[.U32].op[.EX] Pd, Pe, a, b, Pc[, Plow]: Pd = (a cmp b) op Pc,
    Pe = !(a cmp b) op Pc; .EX compares the high words of a 64-bit pair, Plow
    being the low words' result."""
    mods = ins.modifiers
    kind = next(k for k in mods if k in ("EQ", "NE", "LT", "LE", "GT", "GE"))
    op = next(k for k in mods if k in ("AND", "OR", "XOR"))
    a, b = v[0], v[1]
    if a is None or b is None:
        r: Pred = (random_outcome(kind), False)
    elif "EX" in mods and a == b:
        r = m.pred(ins.sources[3])
    else:
        r = (compare(kind, a, b, "U32" not in mods), True)
    chained = m.pred(ins.sources[2])
    return {ins.preds[0]: combine(op, r, chained), ins.preds[1]: combine(op, negate(r), chained)}


def plop3(m: Machine, ins: Instruction, v: list) -> dict:
    """PLOP3.LUT Pd, Pe, Pa, Pb, Pc, lut_d, lut_e: each output a truth table
    of the three input predicates."""
    inputs = [m.pred(o) for o in ins.sources[:3]]
    tables = v[3:5]
    if "LUT" not in ins.modifiers or len(inputs) != 3 or None in tables or any(p[0] is None for p in inputs):
        return {}
    index = inputs[0][0] << 2 | inputs[1][0] << 1 | inputs[2][0]
    known = all(p[1] for p in inputs)
    return {d: (bool(t >> index & 1), known) for d, t in zip(ins.preds, tables)}


TRACKED = {"MOV": mov, "PLOP3": plop3, "CS2R": cs2r, "LDC": ldc, "IMAD": imad, "IADD3": add, "VIADD": add,
           "SEL": sel, "LOP3": lop3, "SHF": shf, "LEA": lea, "ISETP": isetp}


@dataclasses.dataclass
class Run:
    counts: collections.Counter
    decisions: dict[int, tuple[str, bool]]  # address -> (instruction, taken)


def run_kernel(program: Program, constants: dict[int, int]) -> Run:
    """Execute one thread from the first instruction to its EXIT, counting
    every instruction it issues."""
    m = Machine(constants)
    run = Run(collections.Counter(), {})
    pc, code = 0, program.instructions
    for _ in range(STEP_LIMIT):
        if pc >= len(code):
            raise CountError("ran past the end of the function")
        ins = code[pc]
        run.counts[ins.opcode] += 1
        guard = m.pred(ins.guard) if ins.guard else TRUE
        if ins.base in CONTROL:
            pc = control(program, pc, guard, run)
            if pc < 0:
                return run
            continue
        if guard != (False, True):
            for name, value in m.results(ins).items():
                if not guard[1]:  # the write may or may not happen
                    value = UNKNOWN if is_predicate(name) else None
                m.write(name, value)
        pc += 1
    raise CountError("step limit: a loop counter is not tracked")


def control(program: Program, pc: int, guard: Pred, run: Run) -> int:
    """The next instruction's index after a branch or exit (-1: the thread ends)."""
    ins = program.instructions[pc]
    if ins.base in ("RET", "BRX", "JMX") or (ins.base == "CALL" and "NOINC" not in ins.modifiers):
        raise CountError(f"not followed: {ins.text}")
    target = -1 if ins.base == "EXIT" else program.target(ins)  # CALL.NOINC returns nowhere: a jump
    taken = guard[0]
    if not guard[1]:
        if 0 <= target <= pc:
            raise CountError(f"a loop on a value not tracked: {ins.text}")
        taken = decide_on_data(program, pc, target, guard[0])
        run.decisions[ins.address] = (ins.text, taken)
    if not taken:
        return pc + 1
    return target


def decide_on_data(program: Program, pc: int, target: int, outcome: bool | None) -> bool:
    """Whether a branch on data is taken, as random data decides it: a
    random hash never meets the target, so where only one way leads to the
    candidate slot (an atomic add), the other is taken; elsewhere the
    comparison's outcome on random words decides."""
    to_target = target >= 0 and reaches_atomic(program, target)
    to_next = reaches_atomic(program, pc + 1)
    if to_target != to_next:
        return to_next
    if outcome is None:
        raise CountError(f"a branch random data does not decide: {program.instructions[pc].text}")
    return outcome


def reaches_atomic(program: Program, start: int) -> bool:
    """Whether an atomic lies ahead of start, following forward branches only
    (so the way back to the loop's head is not taken)."""
    seen, todo, code = set(), [start], program.instructions
    while todo:
        pc = todo.pop()
        if pc in seen or pc >= len(code):
            continue
        seen.add(pc)
        ins = code[pc]
        if ins.base.startswith(("ATOM", "RED")):
            return True
        if ins.base in ("BRA", "CALL"):
            target = program.target(ins)
            if target > pc:
                todo.append(target)
            if ins.guard is None:
                continue
        if ins.base == "EXIT" and ins.guard is None:
            continue
        todo.append(pc + 1)
    return False


# --- counts and the model -------------------------------------------------

def per_nonce(program: Program, iters_at: int) -> tuple[dict[str, int], Run]:
    """Instructions per nonce by opcode, and the run with three nonces."""
    one = run_kernel(program, {iters_at: 1})
    three = run_kernel(program, {iters_at: 3})
    counts = {}
    for opcode in set(one.counts) | set(three.counts):
        twice = three.counts[opcode] - one.counts[opcode]
        if twice % 2:
            raise CountError(f"{opcode}: iterations 2 and 3 differ")
        if twice:
            counts[opcode] = twice // 2
    return counts, three


def pipe(opcode: str) -> str:
    base = opcode.split(".")[0]
    if base in FMA_PIPE:
        return "fma"
    return "alu" if base in ALU_PIPE else "other"


def classes(counts: dict[str, int]) -> dict[str, int]:
    total = sum(counts.values())
    of = lambda test: sum(n for op, n in counts.items() if test(op))
    return {
        "total": total,
        "SEL": of(lambda op: op.split(".")[0] == "SEL"),
        "IMAD.MOV": of(lambda op: op.startswith("IMAD.MOV")),
        "MOV": of(lambda op: op.split(".")[0] == "MOV"),
        "fma": of(lambda op: pipe(op) == "fma"),
        "alu": of(lambda op: pipe(op) == "alu"),
    }


def modelled_rate(arch: int, c: dict[str, int]) -> tuple[str, float, str] | None:
    """The device that runs this code, the model's MH/s on it and what
    bounds it (issue, fma or ALU), or None."""
    if arch not in MODEL_DEVICES:
        return None
    device, sms, clock = MODEL_DEVICES[arch]
    cycles, bound = max((c["total"], "issue"), (2 * c["fma"], "fma"), (2 * c["alu"], "ALU"))  # 32 nonces
    return device, sms * SUB_PARTITIONS * clock * WARP / cycles / 1e6, bound


# --- the build ------------------------------------------------------------

def module_commands(build: str) -> dict[str, tuple[str, list[str]]]:
    """Each kernel module's nvcc compile command (directory, arguments), in
    the module list's order: the commands that compile a module's host copy
    (NAME_host_layer.cu) to an object."""
    path = os.path.join(build, "compile_commands.json")
    if not os.path.exists(path):
        raise CountError(f"{path} is missing: configure the build with CMake first")
    with open(path) as f:
        entries = json.load(f)
    commands: dict[str, tuple[str, list[str]]] = {}
    for entry in entries:
        argv = shlex.split(entry["command"])
        if not entry["file"].endswith("_host_layer.cu") or not argv[0].endswith("nvcc"):
            continue
        name = os.path.basename(entry["file"]).removesuffix("_host_layer.cu")
        if "-c" not in argv or "-ptx" in argv:  # the PTX builds of the tests compile it too
            continue
        if name in commands:
            raise CountError(f"{name}: two object builds in compile_commands.json")
        commands[name] = (entry["directory"], argv)
    if not commands:
        raise CountError(f"no kernel module compiled by nvcc in {path}: is CUDA enabled in that build?")
    listed = os.path.join(build, "gpu-modules.txt")
    if os.path.exists(listed):
        with open(listed) as f:
            order = [line.split()[0] for line in f if line.strip()]
        commands = {n: commands[n] for n in order if n in commands} | commands
    return commands


def output_of(directory: str, argv: list[str]) -> str:
    return os.path.join(directory, argv[argv.index("-o") + 1])


def object_cubins(path: str) -> dict[int, bytes]:
    if not os.path.exists(path):
        raise CountError(f"{path} is missing: build the module targets first")
    with open(path, "rb") as f:
        fatbin = Elf(f.read()).section(".nv_fatbin")
    if fatbin is None:
        raise CountError(f"{path} carries no fat binary")
    return fatbin_cubins(fatbin)


def proxy_object(directory: str, argv: list[str], arch: int, work: str, module: str) -> str:
    """The module compiled by its own command for one other architecture."""
    out = os.path.join(work, f"{module}_sm{arch}_proxy.o")
    kept, skip = [], False
    for arg in argv:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-gencode", "--generate-code", "-arch", "--gpu-architecture"):
            skip = True
            continue
        if arg.startswith(("--generate-code=", "-gencode=", "-arch=", "--gpu-architecture=")):
            continue
        kept.append(arg)
    kept += [f"--generate-code=arch=compute_{arch},code=[sm_{arch}]", "-o", out]
    run = subprocess.run(kept, cwd=directory, capture_output=True, text=True)
    if run.returncode != 0:
        raise CountError(f"{module}: the proxy build for sm_{arch} failed:\n{run.stderr}")
    return out


@dataclasses.dataclass
class Row:
    module: str
    arch: int
    proxy: bool
    kernel: Kernel
    classes: dict[str, int]
    local_ops: int
    decisions: dict[int, tuple[str, bool]]

    @property
    def label(self) -> str:
        return f"{self.module} (sm_{self.arch} proxy)" if self.proxy else f"{self.module} sm_{self.arch}"


def count_cubin(module: str, arch: int, cubin: bytes, proxy: bool, nvdisasm: str, work: str) -> Row:
    kernel = mining_kernel(Elf(cubin))
    listing = disassemble(nvdisasm, cubin, work, f"{module}_sm{arch}")
    program = parse_sass(function_lines(listing, kernel.name))
    try:
        counts, run = per_nonce(program, kernel.iters_offset)
    except CountError as e:
        raise CountError(f"{module} sm_{arch}: {e}") from None
    local = sum(1 for ins in program.instructions if ins.base in ("LDL", "STL"))
    return Row(module, arch, proxy, kernel, classes(counts), local, run.decisions)


def count_module(module: str, command: tuple[str, list[str]], nvdisasm: str, work: str, proxy_arch: int,
                 notes: list[str]) -> list[Row]:
    directory, argv = command
    rows = []
    for arch, cubin in sorted(object_cubins(output_of(directory, argv)).items()):
        try:
            rows.append(count_cubin(module, arch, cubin, False, nvdisasm, work))
        except NotRead:
            notes.append(f"{module} sm_{arch}")
    if not rows:
        built = object_cubins(proxy_object(directory, argv, proxy_arch, work, module))
        rows.append(count_cubin(module, proxy_arch, built[proxy_arch], True, nvdisasm, work))
    return rows


# --- output ---------------------------------------------------------------

def number(n: float) -> str:
    return f"{n:,.0f}"


def table(rows: list[Row]) -> str:
    head = ("| module, arch | registers (bound) | stack, local ops | instructions / nonce "
            "| SEL | IMAD.MOV | MOV | fma pipe | ALU pipe | modelled rate |\n"
            "|---|---|---|---|---|---|---|---|---|---|\n")
    body = ""
    for r in rows:
        c, k = r.classes, r.kernel
        bound = f" ({k.register_bound})" if k.register_bound else ""
        rate = None if r.proxy else modelled_rate(r.arch, c)
        shown = f"{number(rate[1])} MH/s, {rate[0]} ({rate[2]})" if rate else "—"
        body += (f"| {r.label} | {k.registers}{bound} | {k.frame_bytes} B, {r.local_ops} | {number(c['total'])} "
                 f"| {number(c['SEL'])} | {number(c['IMAD.MOV'])} | {number(c['MOV'])} "
                 f"| {number(c['fma'])} | {number(c['alu'])} | {shown} |\n")
    return head + body


def json_row(r: Row) -> dict:
    rate = None if r.proxy else modelled_rate(r.arch, r.classes)
    return {"row": r.label, "registers": r.kernel.registers, "register_bound": r.kernel.register_bound,
            "stack_frame": r.kernel.frame_bytes, "local_ops": r.local_ops, **r.classes,
            "device": rate and rate[0], "mhs": rate and round(rate[1], 1), "bound": rate and rate[2]}


def decision_lines(rows: list[Row]) -> str:
    text = ""
    for r in rows:
        text += f"{r.label}: {len(r.decisions)} branches on data\n"
        for address, (line, taken) in sorted(r.decisions.items()):
            text += f"  {'taken    ' if taken else 'not taken'}  {line}\n"
    return text


def default_nvdisasm(build: str) -> str | None:
    if os.environ.get("NVDISASM"):
        return os.environ["NVDISASM"]
    if shutil.which("nvdisasm"):
        return shutil.which("nvdisasm")
    cache = os.path.join(build, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_CUDA_COMPILER:"):
                    candidate = os.path.join(os.path.dirname(line.split("=", 1)[1].strip()), "nvdisasm")
                    if os.access(candidate, os.X_OK):
                        return candidate
    return None


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--build", default="build", help="a CUDA-enabled CMake build directory (default: build)")
    parser.add_argument("--nvdisasm", help="the disassembler (default: $NVDISASM, nvdisasm on PATH, "
                                           "then beside the build's nvcc)")
    parser.add_argument("--modules", help="comma-separated module names (default: every module of the build)")
    parser.add_argument("--proxy-arch", type=int, default=90,
                        help="architecture a module is compiled for when the disassembler reads none of "
                             "its cubins (default: 90)")
    parser.add_argument("--work", help="scratch directory (default: a temporary one)")
    parser.add_argument("--decisions", action="store_true", help="list the branches decided on data")
    parser.add_argument("--json", help="write the counts here")
    args = parser.parse_args(argv)

    nvdisasm = args.nvdisasm or default_nvdisasm(args.build)
    if not nvdisasm:
        print("error: no nvdisasm: give --nvdisasm PATH (the CUDA toolkit's, or one that reads the "
              "architectures built)", file=sys.stderr)
        return 2
    notes: list[str] = []
    rows: list[Row] = []
    try:
        commands = module_commands(args.build)
        modules = args.modules.split(",") if args.modules else list(commands)
        unknown = [m for m in modules if m not in commands]
        if unknown:
            raise CountError(f"no such module in the build: {', '.join(unknown)}")
        with tempfile.TemporaryDirectory() as scratch:
            work = args.work or scratch
            os.makedirs(work, exist_ok=True)
            for module in modules:
                rows += count_module(module, commands[module], nvdisasm, work, args.proxy_arch, notes)
    except CountError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    print(table(rows), end="")
    if notes:
        print("\nNot read by this disassembler: " + "; ".join(notes))
    if args.decisions:
        print("\n" + decision_lines(rows), end="")
    if args.json:
        with open(args.json, "w") as f:
            json.dump([json_row(r) for r in rows], f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
