#!/usr/bin/env python3
"""The counter of kernel_instructions.py on hand-written SASS: loops followed
(a counter stepped by an instruction the disassembler only shows encoded, one
spilled to local memory), predicated-off instructions counted, branches on
data decided as random data decides them, loops on data refused."""

import os
import sys
import unittest

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kernel_instructions as ki  # noqa: E402

ITERS = 0x228  # where the kernels below read their iteration count


def listing(text: str) -> list[str]:
    """nvdisasm -hex form: each instruction with two encoding words; a line
    "ENCODED lo hi" is an instruction shown by its words alone."""
    lines, address = [], 0
    for line in text.strip().splitlines():
        line = line.strip()
        if line.endswith(":"):
            lines.append(line)
            continue
        if line.startswith("ENCODED"):
            _, low, high = line.split()
            lines += [f"/* {int(low, 16):#018x} */", f"/* {int(high, 16):#018x} */"]
        else:
            lines += [f"/*{address:04x}*/ {line} /* 0x0000000000000000 */", "/* 0x000fe20000000000 */"]
        address += 0x10
    return lines


# VIADD R2, R2, 0x1 as nvcc 13 encodes it for 9.0.
VIADD_R2 = "ENCODED 0x0000000102027836 0x000fca0000000000"

CASES = [
    ("rolled round loop in the iteration loop", f"""
        ULDC UR4, c[0x0][0x228] ;
        MOV R0, RZ ;
        .L_x_0:
        IMAD.MOV.U32 R2, RZ, RZ, RZ ;
        .L_x_1:
        {VIADD_R2}
        ISETP.NE.AND P0, PT, R2, 0x4, PT ;
        @!P0 IADD3 R5, R5, 0x1, RZ ;
        @P0 BRA `(.L_x_1) ;
        IADD3 R0, R0, 0x1, RZ ;
        ISETP.NE.AND P1, PT, R0, UR4, PT ;
        @!P1 CALL.REL.NOINC `(.L_x_2) ;
        BRA `(.L_x_0) ;
        .L_x_2:
        EXIT ;
     """, {"IMAD.MOV.U32": 1, "VIADD": 4, "ISETP.NE.AND": 5, "IADD3": 5, "BRA": 5, "CALL.REL.NOINC": 1}, {}),
    ("loop counter spilled and reloaded", """
        LDC R1, c[0x0][0x28] ;
        LDC R6, c[0x0][0x228] ;
        CS2R R2, SRZ ;
        .L_x_0:
        STL.64 [R1+0x8], R2 ;
        LDG.E.64 R2, desc[UR4][R8.64] ;
        LDL.64 R2, [R1+0x8] ;
        IADD3 R2, R2, 0x1, RZ ;
        ISETP.GE.U32.AND P0, PT, R2, R6, PT ;
        @!P0 BRA `(.L_x_0) ;
        EXIT ;
     """, {"STL.64": 1, "LDG.E.64": 1, "LDL.64": 1, "IADD3": 1, "ISETP.GE.U32.AND": 1, "BRA": 1}, {}),
    ("branches on data: the target missed, words unequal", """
        ULDC UR4, c[0x0][0x228] ;
        MOV R0, RZ ;
        .L_x_0:
        LDG.E R3, desc[UR4][R4.64] ;
        ISETP.GE.U32.AND P0, PT, R3, UR5, PT ;
        @P0 BRA `(.L_x_1) ;
        ATOMG.E.ADD.STRONG.GPU PT, R6, desc[UR4][R8.64], R7 ;
        STG.E desc[UR4][R8.64], R6 ;
        .L_x_1:
        ISETP.NE.AND P1, PT, R3, RZ, PT ;
        @!P1 BRA `(.L_x_2) ;
        IADD3 R9, R9, 0x1, RZ ;
        .L_x_2:
        IADD3 R0, R0, 0x1, RZ ;
        ISETP.NE.AND P2, PT, R0, UR4, PT ;
        @P2 BRA `(.L_x_0) ;
        EXIT ;
     """, {"LDG.E": 1, "ISETP.GE.U32.AND": 1, "BRA": 3, "ISETP.NE.AND": 2, "IADD3": 2},
     {0x40: True, 0x80: False}),
]


class CounterTest(unittest.TestCase):
    def test_per_nonce_counts(self):
        for name, sass, per_nonce, decisions in CASES:
            with self.subTest(name):
                counts, run = ki.per_nonce(ki.parse_sass(listing(sass)), ITERS)
                self.assertEqual(counts, per_nonce)
                self.assertEqual({a: taken for a, (_, taken) in run.decisions.items()}, decisions)

    def test_refused(self):
        for name, sass, error in [
            ("a loop on data", """
                LDG.E R3, desc[UR4][R4.64] ;
                .L_x_0:
                IADD3 R3, R3, 0x1, RZ ;
                ISETP.NE.AND P0, PT, R3, 0x4, PT ;
                @P0 BRA `(.L_x_0) ;
                EXIT ;
             """, "a loop on a value not tracked"),
            ("an ordered test away from any candidate slot", """
                LDG.E R3, desc[UR4][R4.64] ;
                ISETP.GT.U32.AND P0, PT, R3, 0x4, PT ;
                @P0 BRA `(.L_x_0) ;
                .L_x_0:
                EXIT ;
             """, "random data does not decide"),
            ("an instruction the disassembler did not show", """
                ENCODED 0x0000000102027a10 0x000fca0000000000
                EXIT ;
             """, "does not know the instruction"),
        ]:
            with self.subTest(name):
                with self.assertRaisesRegex(ki.CountError, error):
                    ki.per_nonce(ki.parse_sass(listing(sass)), ITERS)


if __name__ == "__main__":
    unittest.main()
