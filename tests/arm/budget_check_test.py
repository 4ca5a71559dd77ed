"""Tests of the image budget check (scripts/budget_check.py, scripts/budget): how it reads
instructions, how deep it finds code to go, how it nests handlers, and the
whole check on tiny images assembled with the cross toolchain.

    python3 -m unittest budget_check_test   (CC and OBJDUMP name the tools)
"""

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import unittest

sys.dont_write_bytecode = True
SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, SCRIPTS)
from budget import thumb, walker  # noqa: E402
from budget.analysis import Analysis  # noqa: E402
from budget.callgraph import Function  # noqa: E402
from budget.priority_plan import FAULTS, LEVEL0, LEVEL1, nesting  # noqa: E402

CC = os.environ.get("CC", "arm-none-eabi-gcc")
OBJDUMP = os.environ.get("OBJDUMP", "arm-none-eabi-objdump")
SCRIPT = os.path.join(SCRIPTS, "budget_check.py")
LIMIT = 10  # seconds: a walk that does not end fails its test instead of hanging the suite


class Bounded(unittest.TestCase):
    def setUp(self):
        def expire(signum, frame):
            raise TimeoutError("still running after %d s" % LIMIT)
        signal.signal(signal.SIGALRM, expire)
        signal.alarm(LIMIT)
        self.addCleanup(signal.alarm, 0)


class InstructionReading(Bounded):
    def test_mnemonics_split_into_base_and_condition(self):
        cases = {
            "bl": ("bl", False), "bleq": ("bl", True),        # a call inside an IT block
            "ble": ("b", True), "bls": ("b", True), "blt": ("b", True),  # branches, not calls
            "b.n": ("b", False), "bne.w": ("b", True), "bxne": ("bx", True),
            "popne": ("pop", True), "movseq": ("mov", True), "subs": ("sub", False),
            "strhi": ("str", True), "ldrhne": ("ldrh", True), "ldrsh": ("ldrsh", False),
            "teqeq": ("teq", True), "vcmpe": ("vcmpe", False), "vmovge": ("vmov", True),
            "ittet": ("it", False),
        }
        for mnemonic, want in cases.items():
            self.assertEqual(thumb.split_mnemonic(mnemonic), want, mnemonic)

    def test_instructions_it_does_not_know_are_not_taken_for_others(self):
        for mnemonic in ("smlabb", "ldaex", "blsx", "pushs", "vfoo", "cmps"):
            self.assertEqual(thumb.split_mnemonic(mnemonic)[0], None, mnemonic)

    def test_stack_effects(self):
        cases = [
            ("push", "{r4, r5, r6, lr}", 16), ("pop", "{r4, pc}", -8),
            ("stmdb", "sp!, {r4, r5}", 8), ("ldmia", "sp!, {r4, r5}", -8),
            ("vpush", "{d8-d9}", 16), ("vpush", "{s16}", 4), ("vpop", "{d8}", -8),
            ("vstmdb", "sp!, {s16-s18}", 12),
            ("sub", "sp, #24", 24), ("sub", "sp, sp, #24", 24), ("add", "sp, #24", -24), ("subw", "sp, sp, #1024", 1024),
            ("str", "r0, [sp, #-8]!", 8), ("ldr", "r0, [sp], #8", -8),
            ("str", "r3, [sp, #4]", 0), ("add", "r0, sp, #8", 0), ("mov", "r7, sp", 0), ("cmp", "sp, r0", 0),
        ]
        for base, operands, want in cases:
            self.assertEqual(thumb.stack_effect(base, operands), want, "%s %s" % (base, operands))

    def test_stack_pointer_writes_it_cannot_follow_are_none(self):
        for base, operands in [("mov", "sp, r0"), ("add", "sp, r3"), ("sub", "sp, sp, r2"), ("ldr", "sp, [r0]"),
                               ("stmia", "sp!, {r0, r1}"), ("str", "r0, [sp, #8]!"), ("msr", "MSP, r0"),
                               ("ldr", "r1, [sp], r2")]:
            self.assertIsNone(thumb.stack_effect(base, operands), "%s %s" % (base, operands))

    def test_control_flow_of_an_instruction(self):
        cases = [
            ("pop", "{r4, pc}", thumb.RETURN), ("ldmia.w", "sp!, {r4, pc}", thumb.RETURN),
            ("ldr.w", "pc, [sp], #4", thumb.RETURN), ("mov", "pc, lr", thumb.RETURN), ("bx", "lr", thumb.RETURN),
            ("bx", "r3", thumb.INDIRECT), ("blx", "r3", thumb.INDIRECT), ("mov", "pc, r3", thumb.INDIRECT),
            ("ldr", "pc, [r0, #4]", thumb.INDIRECT), ("ldm", "r0, {r4, pc}", thumb.INDIRECT),
            ("add", "pc, r3", thumb.INDIRECT), ("tbb", "[pc, r3]", thumb.TABLE), ("bl", "200 <g>", thumb.CALL),
            ("b.n", "100 <f>", thumb.BRANCH), ("ldr", "r3, [pc, #8]", thumb.NEXT), ("pop", "{r4, r5}", thumb.NEXT),
        ]
        for mnemonic, operands, kind in cases:
            self.assertEqual(thumb.decode(mnemonic, operands).kind, kind, "%s %s" % (mnemonic, operands))
        # cbz and a conditional branch may fall through; b does not.
        self.assertEqual([thumb.decode(m, "100 <f>").conditional for m in ("b.n", "bne.n", "cbz")],
                         [False, True, True])


class FakeElf:
    def __init__(self, functions):
        self._functions = functions

    def functions(self):
        return self._functions


def code_of(listing, functions=None):
    """A Code over a listing of (address, mnemonic, operands)."""
    insns = {a: (m, o) for a, m, o in listing}
    return walker.Code(FakeElf(functions or {"f": [(listing[0][0], 0)]}), insns)


class CodeDepth(Bounded):
    def depth(self, listing, callee=0):
        calls = []

        def call_depth(target):
            calls.append(target)
            return callee
        best, deepest, problems, fp = code_of(listing).depth(listing[0][0], call_depth)
        return best, deepest, problems, fp, calls

    def test_deepest_path_of_a_branch_counts_and_pops_release(self):
        best, _, problems, fp, _ = self.depth([
            (0x100, "push", "{r4, lr}"),
            (0x102, "cbz", "r0, 10a <f+0xa>"),
            (0x104, "sub", "sp, #32"),                 # only on one side of the branch
            (0x106, "add", "sp, #32"),
            (0x108, "pop", "{r4, pc}"),
            (0x10a, "push", "{r5, r6}"),               # the other side
            (0x10c, "pop", "{r5, r6}"),
            (0x10e, "pop", "{r4, pc}"),
        ])
        self.assertEqual((best, problems, fp), (40, [], False))

    def test_a_call_adds_the_callee_at_the_depth_of_the_call(self):
        best, deepest, _, _, calls = self.depth([
            (0x100, "push", "{r3, r4, r5, lr}"),
            (0x102, "bl", "200 <g>"),
            (0x106, "pop", "{r3, r4, r5, pc}"),
        ], callee=24)
        self.assertEqual((best, deepest, calls), (40, 0x200, [0x200]))

    def test_an_unknown_instruction_is_a_problem_not_zero_bytes(self):
        _, _, problems, _, _ = self.depth([
            (0x100, "push", "{r4, lr}"),
            (0x102, "smlabb", "r0, r1, r2, r3"),
            (0x106, "pop", "{r4, pc}"),
        ])
        self.assertEqual(len(problems), 1)
        self.assertIn("unknown instruction at 0x00000102", problems[0])

    def test_stack_set_from_a_register_is_a_problem(self):
        _, _, problems, _, _ = self.depth([
            (0x100, "mov", "sp, r0"),
            (0x102, "bx", "lr"),
        ])
        self.assertIn("stack pointer set from a register", problems[0])

    def test_any_floating_point_instruction_reached_marks_the_code(self):
        listing = [
            (0x100, "cbz", "r0, 106 <f+0x6>"),
            (0x102, "vadd.f32", "s0, s0, s1"),
            (0x106, "bx", "lr"),
        ]
        self.assertTrue(self.depth(listing)[3])
        listing[1] = (0x102, "adds", "r0, #1")
        self.assertFalse(self.depth(listing)[3])


class OneWalk(Bounded):
    """Both walks over one crafted listing: the depth of a routine modelled
    from its code, and the thread's split of f, a routine the compiler
    describes with a 16-byte frame. Both end (the pushing loop once hung the
    split), and neither counts what it cannot follow as 0 bytes."""

    def walks(self, listing, functions=None):
        code = code_of(listing, functions)
        depth, _, problems, _ = code.depth(listing[0][0], lambda target: 0)
        fn = Function("f", "f.ci", "f.c:1:1", 16, "static")
        analysis = Analysis([fn], code, None)
        return depth, problems, analysis.thread_split(fn), analysis.errors

    def test_crafted_listings(self):
        g = [(0x200, "push", "{r4, r5, r6, r7, r8, lr}"), (0x202, "pop", "{r4, r5, r6, r7, r8, pc}")]
        cases = [  # listing, depth, problem, split (before, after), its error
            ("loop that pushes", [(0x100, "push", "{r4}"), (0x102, "b.n", "100 <f>")],
             None, "stack keeps growing in a loop at 0x00000102", None, "keeps growing"),
            ("loop that does not push", [(0x100, "push", "{r4, lr}"), (0x102, "subs", "r0, #1"),
                                         (0x104, "bne.n", "102 <f+0x2>"), (0x106, "pop", "{r4, pc}")],
             8, None, (8, 0), None),
            ("tail call", [(0x100, "push", "{r4, lr}"), (0x102, "pop", "{r4, lr}"), (0x104, "b.w", "200 <g>")] + g,
             24, None, (24, 0), None),
            # The thread counts the rest of f whole, as "after"; the branch is
            # an error through the comparison with the compiler's call graph.
            ("indirect branch", [(0x100, "push", "{r4, lr}"), (0x102, "bx", "r3")],
             8, "indirect branch at 0x00000102 (bx r3)", (8, 16), "indirect call in f at 0x00000102"),
            ("unknown instruction", [(0x100, "push", "{r4, lr}"), (0x102, "smlabb", "r0, r1, r2, r3")],
             8, "unknown instruction at 0x00000102 (smlabb r0, r1, r2, r3)", None, "unknown instruction"),
        ]
        for name, listing, depth, problem, split, error in cases:
            functions = {"f": [(0x100, 0x100)], "g": [(0x200, 4)]}
            got_depth, problems, got_split, errors = self.walks(listing, functions)
            if depth is not None:
                self.assertEqual(got_depth, depth, name)
            self.assertEqual(problems, [problem] if problem else [], name)
            if split is not None:
                self.assertEqual(got_split, split, name)
            if error:
                self.assertTrue(any(error in e for e in errors), (name, errors))
            else:
                self.assertEqual(errors, [], name)


class Nesting(Bounded):
    def test_all_contexts_with_floating_point_stack_three_extended_frames(self):
        total, chain = nesting((136, True), {LEVEL1: (0, True), LEVEL0: (48, True), FAULTS: (0, True)})
        self.assertEqual(total, 136 + 104 + 104 + 48 + 104)
        self.assertEqual(chain, [(LEVEL1, 104, 0), (LEVEL0, 104, 48), (FAULTS, 104, 0)])

    def test_a_frame_over_a_handler_without_floating_point_is_basic(self):
        # Thread uses the unit, level 1 does not, level 0 does.
        total, chain = nesting((136, True), {LEVEL1: (0, False), LEVEL0: (48, True), FAULTS: (0, False)})
        self.assertEqual(chain, [(LEVEL1, 104, 0), (LEVEL0, 32, 48), (FAULTS, 104, 0)])
        self.assertEqual(total, 424)
        # A thread without floating-point work is interrupted with a basic frame.
        total, chain = nesting((16, False), {LEVEL0: (8, False)})
        self.assertEqual((total, chain), (16 + 32 + 8, [(LEVEL0, 32, 8)]))

    def test_contexts_are_rounded_to_eight_bytes_before_a_frame(self):
        total, _ = nesting((36, True), {LEVEL0: (20, True)})
        self.assertEqual(total, 40 + 104 + 24)

    def test_leaving_a_level_out_never_hides_a_deeper_chain(self):
        # Whatever the figures, the chosen chain is the deepest of all chains.
        import itertools
        for fps in itertools.product((False, True), repeat=4):
            levels = {LEVEL1: (8, fps[1]), LEVEL0: (16, fps[2]), FAULTS: (0, fps[3])}
            total, _ = nesting((24, fps[0]), levels)
            for r in range(4):
                for chain in itertools.combinations((LEVEL1, LEVEL0, FAULTS), r):
                    t, below = 24, fps[0]
                    for level in chain:
                        t += (104 if below else 32) + levels[level][0]
                        below = levels[level][1]
                    self.assertGreaterEqual(total, t, (fps, chain))


# A tiny image: reset entry, SysTick (level 1), the keys' interrupt (IRQ 23,
# level 0) and a fault handler. Everything is modelled from the machine code.
IMAGE = """
    .syntax unified
    .cpu cortex-m4
    .fpu fpv4-sp-d16
    .thumb
    .section .isr_vector, "a"
    .word 0x20000400
    .word Reset_Handler
    .word Fault_Handler, Fault_Handler, Fault_Handler, Fault_Handler, Fault_Handler
    .word 0, 0, 0, 0, 0, 0, 0, 0
    .word SysTick_Handler
    .rept 23
    .word 0
    .endr
    .word EXTI9_5_IRQHandler

    .text
    .macro func name
    .global \\name
    .type \\name, %function
    .thumb_func
\\name:
    .endm

    func Reset_Handler
    push {r4, lr}
    bl work
1:  b 1b
    .size Reset_Handler, .-Reset_Handler

    func work
    push {r4, r5, r6, r7, lr}
    sub sp, #16
    {work_body}
    add sp, #16
    pop {r4, r5, r6, r7, pc}
    .size work, .-work

    func deep
    push {r4, r5, r6, r7, r8, r9, r10, r11, lr}
    sub sp, #64
    add sp, #64
    pop {r4, r5, r6, r7, r8, r9, r10, r11, pc}
    .size deep, .-deep

    func SysTick_Handler
    push {r4, lr}
    {tick_body}
    pop {r4, pc}
    .size SysTick_Handler, .-SysTick_Handler

    func EXTI9_5_IRQHandler
    push {lr}
    vpush {d8}
    vadd.f32 s16, s16, s17
    vpop {d8}
    pop {pc}
    .size EXTI9_5_IRQHandler, .-EXTI9_5_IRQHandler

    func Fault_Handler
1:  b 1b
    .size Fault_Handler, .-Fault_Handler
"""

LINK = """
MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 16K
         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 4K }
SECTIONS { .isr_vector : { KEEP(*(.isr_vector)) } > FLASH
           .text : { *(.text*) } > FLASH }
"""


class WholeCheck(Bounded):
    def run_check(self, work_body="vadd.f32 s0, s0, s1", tick_body="adds r0, #1", budget=512, report="report.txt"):
        with tempfile.TemporaryDirectory() as tmp:
            src, ld, elf = (os.path.join(tmp, n) for n in ("image.S", "image.ld", "image.elf"))
            with open(src, "w") as f:
                f.write(textwrap.dedent(IMAGE).replace("{work_body}", work_body).replace("{tick_body}", tick_body))
            with open(ld, "w") as f:
                f.write(LINK)
            subprocess.run([CC, "-mcpu=cortex-m4", "-mthumb", "-mfpu=fpv4-sp-d16", "-mfloat-abi=hard", "-nostdlib",
                            "-T", ld, "-o", elf, src], check=True, timeout=LIMIT)
            result = subprocess.run([sys.executable, SCRIPT, "--elf", elf, "--objdump", OBJDUMP,
                                     "--stack-budget", str(budget), "--keep-on-failure",
                                     "--report", os.path.join(tmp, report)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                                    timeout=LIMIT)
            self.stderr = result.stderr
            if os.path.exists(os.path.join(tmp, "report.txt")):
                with open(os.path.join(tmp, "report.txt")) as f:
                    self.report = f.read()
            sections = subprocess.run([OBJDUMP, "-h", elf], stdout=subprocess.PIPE, universal_newlines=True,
                                      check=True, timeout=LIMIT).stdout
            self.loaded = sum(int(line.split()[2], 16) for line in sections.splitlines()
                              if line.split()[1:2] in ([".isr_vector"], [".text"]))
            return result.returncode, result.stdout

    def figure(self, out):
        head = out.splitlines()[0]
        return int(head.split("worst case ")[1].split()[0])

    def test_figure_of_a_known_image(self):
        status, out = self.run_check()
        # thread 8 + 36 = 44 -> 48; SysTick 104 + 8 over a thread with
        # floating point; the keys' 32 + 16 over a SysTick without; the
        # fault 104 over the keys' handler, which uses the unit.
        self.assertEqual(status, 0, out)
        self.assertEqual(self.figure(out), 48 + 104 + 8 + 32 + 16 + 104 + 0, out)
        self.assertEqual(self.report, out)
        # Flash runs from its start to the end of the code, which follows
        # the vector table.
        self.assertIn("flash %d of" % self.loaded, out)

    def test_floating_point_in_a_handler_extends_the_frame_over_it(self):
        status, out = self.run_check(tick_body="vmov.f32 s0, #1.0")
        self.assertEqual(status, 0, out)
        self.assertEqual(self.figure(out), 48 + 104 + 8 + 104 + 16 + 104, out)

    def test_a_thread_without_floating_point_is_interrupted_with_a_basic_frame(self):
        status, out = self.run_check(work_body="adds r0, #1")
        self.assertEqual(status, 0, out)
        self.assertEqual(self.figure(out), 48 + 32 + 8 + 32 + 16 + 104, out)

    def test_the_thread_before_its_first_floating_point_instruction_takes_basic_frames(self):
        # A deep call (36 + 64 bytes) before the first floating-point
        # instruction: interrupted there, the thread stacks the basic frame.
        # thread 8 + 36 + 100 = 144 with 32, or 48 with 104, over it.
        status, out = self.run_check(work_body="bl deep\n    vadd.f32 s0, s0, s1")
        self.assertEqual(status, 0, out)
        self.assertEqual(self.figure(out), 144 + 32 + 8 + 32 + 16 + 104, out)
        self.assertIn("thread: 144 bytes before its first floating-point instruction, 44 after", out)
        # The same call after it: the deep point has floating-point state.
        status, out = self.run_check(work_body="vadd.f32 s0, s0, s1\n    bl deep")
        self.assertEqual(status, 0, out)
        self.assertEqual(self.figure(out), 144 + 104 + 8 + 32 + 16 + 104, out)
        # Reached both with and without it (a branch around the floating-
        # point instruction): the path with it decides.
        status, out = self.run_check(work_body="cbz r0, 1f\n    vadd.f32 s0, s0, s1\n1:  bl deep")
        self.assertEqual(status, 0, out)
        self.assertEqual(self.figure(out), 144 + 104 + 8 + 32 + 16 + 104, out)

    def test_unknown_instruction_or_untraceable_stack_fails_the_check(self):
        status, out = self.run_check(tick_body="smlabb r0, r1, r2, r3")
        self.assertEqual(status, 1, out)
        self.assertIn("unknown instruction", out)
        self.assertIn("NOT BOUNDED", out)
        status, out = self.run_check(tick_body="mov sp, r0")
        self.assertEqual(status, 1, out)
        self.assertIn("stack pointer set from a register", out)
        status, out = self.run_check(tick_body="bx r3")
        self.assertEqual(status, 1, out)
        self.assertIn("SysTick_Handler: indirect branch at", out)
        # A pushing loop after the thread's first floating-point instruction,
        # which both the depth and the thread's split walk.
        status, out = self.run_check(work_body="vadd.f32 s0, s0, s1\n1:  push {r4}\n    b 1b")
        self.assertEqual(status, 1, out)
        self.assertIn("work: stack keeps growing", out)
        self.assertIn("thread walk of work: stack keeps growing", out)

    def test_the_report_never_replaces_an_input(self):
        # Refused before the run; the image is still read whole afterwards.
        status, out = self.run_check(report="image.elf")
        self.assertEqual((status, out), (2, ""))
        self.assertIn("image.elf is one of the check's inputs", self.stderr)

    def test_over_budget_fails(self):
        status, out = self.run_check(budget=300)
        self.assertEqual(status, 1, out)
        self.assertIn("budget check FAILED: stack 312 > 300 bytes", out)


if __name__ == "__main__":
    unittest.main()
