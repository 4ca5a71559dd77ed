#!/usr/bin/env python3
"""Budgets of the board image, checked after every link: worst-case stack,
flash and static RAM. Exits 1 (and removes the image, so that the next build
checks again) when a budget is passed or the stack figure cannot be bounded.

Stack figure
------------
Frame sizes and call edges come from the compiler: the .su file
(-fstack-usage) and the .ci call graph (-fcallgraph-info=su) written beside
each object. Routines that have neither (the compiler's software
floating-point routines, memcpy, memset) are read from the linked image
(pyelftools for the file, objdump for the instructions): their control flow
is followed instruction by instruction, every push, vpush, pre-decrementing
store and "sub sp" adding to the depth and every pop releasing it, and every
call, and every branch that leaves the routine, counts as a call from the
depth where it stands. An instruction the interpreter does not know, or a
stack pointer set from a register, makes the figure unbounded: counting it
as 0 bytes could hide a push. The disassembly of the firmware's own
functions is compared with the compiler's call graph: a call that the graph
does not list is reported and followed.

Every call path is followed from the reset entry (start-up and main: the
thread) and from every handler in the vector table. An indirect call or a
recursion makes the figure unbounded and fails the check, except the run of
static constructors in the start-up, whose targets are exactly the entries
of .init_array (normally none).

Nesting, under the priority plan of priority_plan.py (one pre-emption bit
after start-up; the boot check compares it with the running image):
  thread       reset entry, start-up, main
  level 1      SysTick (0xF0) and the serial receive, USART3 (0xB0): they
               share the level and do not pre-empt each other
  level 0      the scheduler tick (0x10), the capture timer (0x20), the keys
               (0x30) and every other device interrupt (reset priority 0x00
               puts any channel not set up otherwise here), and SVCall,
               DebugMonitor and PendSV (reset priority 0)
  faults       HardFault, MemManage, BusFault, UsageFault, NMI
Each level can pre-empt the ones above it, and only one handler of a level
runs at a time, so the worst case is the thread's deepest path plus, for a
chain of levels, one exception frame and the deepest handler of each level.
The frame is 104 bytes (with floating-point context) when the interrupted
context may have floating-point state and 32 bytes otherwise; see nesting().
NMI is counted with the faults and not on top of them: its only source on
this chip, the clock security system, stays off. Each context's figure is
rounded up to a multiple of 8 before a frame is stacked on it, which covers
the alignment word the core inserts when the stack pointer is not 8-byte
aligned at entry.
"""

import argparse
import io
import os
import re
import struct
import subprocess
import sys

from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from priority_plan import FAULTS, LEVEL0, LEVEL1, NESTING, THREAD, level_of_exception  # noqa: E402

# Exception frames: the basic frame (r0-r3, r12, lr, pc, xPSR) and the
# extended one with S0..S15, FPSCR and a reserved word, whose space the core
# reserves whenever the interrupted context has live floating-point state
# (CONTROL.FPCA set), even when lazy stacking defers the saving itself.
BASIC_FRAME = 32
FP_FRAME = 104

FLASH_BASE = 0x08000000
RAM_BASE = 0x20000000

VECTOR_COUNT = 16 + 82

# Indirect call sites whose targets are known: the start-up's run of static
# constructors calls exactly the entries of .init_array.
INIT_ARRAY_CALLERS = {"_ZN4port12runtime_initEv"}


def round8(n):
    return (n + 7) & ~7


# ----------------------------------------------------------------- ELF file
class Elf:
    """The parts of the linked image that the check reads, through pyelftools."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        try:
            self.file = ELFFile(io.BytesIO(data))
        except ELFError as e:
            raise SystemExit("%s: not an ELF file (%s)" % (path, e))
        if self.file.elfclass != 32 or not self.file.little_endian or self.file["e_machine"] != "EM_ARM":
            raise SystemExit("%s: not a 32-bit little-endian ARM image" % path)
        self.sections = [dict(name=sec.name, nobits=sec["sh_type"] == "SHT_NOBITS", flags=sec["sh_flags"],
                              addr=sec["sh_addr"], size=sec["sh_size"]) for sec in self.file.iter_sections()]
        self.segments = [dict(load=seg["p_type"] == "PT_LOAD", paddr=seg["p_paddr"], filesz=seg["p_filesz"])
                         for seg in self.file.iter_segments()]

    def section(self, name):
        for s in self.sections:
            if s["name"] == name:
                return s
        return None

    def section_bytes(self, name):
        sec = self.file.get_section_by_name(name)
        if sec is None or sec["sh_type"] == "SHT_NOBITS":
            return b""
        return sec.data()

    def functions(self):
        """Function symbols: name -> list of (start, size)."""
        out = {}
        symtab = self.file.get_section_by_name(".symtab")
        if symtab is None:
            raise SystemExit("the image has no symbol table")
        for sym in symtab.iter_symbols():
            if sym["st_info"]["type"] == "STT_FUNC" and sym["st_shndx"] != "SHN_UNDEF":
                out.setdefault(sym.name, []).append((sym["st_value"] & ~1, sym["st_size"]))
        return out


# ------------------------------------------------------------- disassembly
BRANCH_RE = re.compile(r"^([0-9a-f]+)\s+<([^>+]+)(?:\+0x([0-9a-f]+))?>")
INSN_RE = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)(?:\s+(.*))?$")


def disassemble(objdump, elf_path):
    """Every instruction of the image: address -> (mnemonic, operands)."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", elf_path], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout
    insns = {}
    for line in text.splitlines():
        m = INSN_RE.match(line)
        if m:
            mnemonic = m.group(2)
            operands = re.split(r"\s[@;]", m.group(3) or "")[0].strip()
            if mnemonic.startswith("."):  # literal data
                continue
            insns[int(m.group(1), 16)] = (mnemonic, operands)
    return insns


def register_count(operands):
    """Registers in a register list such as {r4, r5, lr} or {d8-d15}."""
    m = re.search(r"\{([^}]*)\}", operands)
    if not m:
        return 0, ""
    count, kind = 0, ""
    for item in m.group(1).split(","):
        item = item.strip()
        if "-" in item:
            a, b = item.split("-")
            count += int(b[1:]) - int(a[1:]) + 1
        else:
            count += 1
        kind = item[0]
    return count, kind


CONDITIONS = {"eq", "ne", "cs", "hs", "cc", "lo", "mi", "pl", "vs", "vc", "hi", "ls", "ge", "lt", "gt", "le", "al"}

# Every instruction the interpreter knows. Anything else in code it follows
# is an error: an instruction that is not understood could move the stack
# pointer, and counting it as 0 bytes would hide that.
DATA_OPS = {"adc", "add", "addw", "and", "asr", "bic", "eor", "lsl", "lsr", "mla", "mls", "mov", "movw", "movt",
            "mul", "mvn", "neg", "orn", "orr", "ror", "rrx", "rsb", "sbc", "sub", "subw", "smull", "smlal",
            "umull", "umlal"}  # these may carry the flag-setting "s"
OTHER_OPS = {"adr", "clz", "cmn", "cmp", "teq", "tst", "rev", "rev16", "revsh", "rbit", "sdiv", "udiv", "sel", "uadd8",
             "sxtb", "sxth", "uxtb", "uxth", "ubfx", "sbfx", "bfi", "bfc", "usat", "ssat", "nop",
             "ldr", "ldrb", "ldrh", "ldrsb", "ldrsh", "ldrd", "ldrex", "str", "strb", "strh", "strd", "strex",
             "ldm", "ldmia", "ldmfd", "ldmdb", "stm", "stmia", "stmdb", "stmfd", "push", "pop", "pld",
             "b", "bl", "blx", "bx", "cbz", "cbnz", "tbb", "tbh",
             "bkpt", "svc", "udf", "cpsid", "cpsie", "dsb", "dmb", "isb", "wfi", "wfe", "mrs", "msr"}
FP_OPS = {"vabs", "vadd", "vsub", "vmul", "vdiv", "vneg", "vsqrt", "vcmp", "vcmpe", "vcvt", "vcvtr", "vmov",
          "vmrs", "vmsr", "vldr", "vstr", "vldm", "vldmia", "vldmdb", "vstm", "vstmia", "vstmdb", "vpush", "vpop",
          "vmla", "vmls", "vnmla", "vnmls", "vnmul", "vfma", "vfms", "vfnma", "vfnms"}
KNOWN = sorted(DATA_OPS | OTHER_OPS | FP_OPS, key=len, reverse=True)
IT_RE = re.compile(r"^it[te]{0,3}$")


def split_mnemonic(mnemonic):
    """(base, conditional) for a Thumb mnemonic such as popne, b.n, subs,
    bleq (a call inside an IT block) or ble (a branch); (None, False) when
    the instruction is not one the interpreter knows."""
    m = mnemonic.split(".")[0]
    if IT_RE.match(m):
        return "it", False
    for base in KNOWN:
        if not m.startswith(base):
            continue
        rest = m[len(base):]
        if rest.startswith("s") and base in DATA_OPS:
            rest = rest[1:]
        if rest == "" or rest == "al":
            return base, False
        if rest in CONDITIONS:
            return base, True
    return None, False


def uses_fp(base):
    """Whether an instruction touches the floating-point unit, which marks
    the running context as having floating-point state (CONTROL.FPCA)."""
    return base in FP_OPS


def stack_effect(base, operands):
    """Bytes an instruction adds to the stack (negative: releases); None when
    the change is not a constant."""
    if base == "push" or (base in ("stmdb", "stmfd") and operands.startswith("sp!")):
        return 4 * register_count(operands)[0]
    if base == "pop" or (base in ("ldmia", "ldmfd", "ldm") and operands.startswith("sp!")):
        return -4 * register_count(operands)[0]
    if base == "vpush" or (base == "vstmdb" and operands.startswith("sp!")):
        count, kind = register_count(operands)
        return count * (8 if kind == "d" else 4)
    if base == "vpop" or (base == "vldmia" and operands.startswith("sp!")):
        count, kind = register_count(operands)
        return -count * (8 if kind == "d" else 4)
    if base in ("sub", "subw", "add", "addw") and re.match(r"sp,", operands):
        m = re.match(r"sp,\s*(?:sp,\s*)?#(\d+)$", operands)
        if not m:
            return None
        n = int(m.group(1))
        return n if base.startswith("sub") else -n
    if base in ("str", "strd") and re.search(r"\[sp, #-(\d+)\]!$", operands):
        return int(re.search(r"\[sp, #-(\d+)\]!$", operands).group(1))
    if base in ("ldr", "ldrd") and re.search(r"\[sp\], #(\d+)$", operands):
        return -int(re.search(r"\[sp\], #(\d+)$", operands).group(1))
    # Any other write of the stack pointer, or write-back to it, is not a
    # constant change the interpreter can follow.
    if re.match(r"sp\b", operands) and base not in ("cmp", "cmn", "tst", "teq", "str", "strb", "strh", "strd",
                                                     "push", "pld"):
        return None
    if "sp!" in operands or re.search(r"\[sp[^\]]*\]!|\[sp\],", operands):
        return None
    if base == "msr" and re.match(r"(msp|psp)\b", operands, re.I):
        return None
    return 0


def branch_target(operands):
    m = re.search(r"(?:^|,\s*)([0-9a-f]+)\s+<", operands)
    return int(m.group(1), 16) if m else None


def writes_pc(base, operands):
    if base in ("pop", "ldmia", "ldmfd", "ldm"):
        return "pc" in operands
    return base in ("ldr", "mov") and operands.startswith("pc,")


class Code:
    """The linked image's functions and their instructions."""

    def __init__(self, elf, insns):
        self.insns = insns
        self.addresses = sorted(insns)
        self.index = {a: i for i, a in enumerate(self.addresses)}
        self.by_name = elf.functions()
        starts = {}
        for name, defs in self.by_name.items():
            for start, size in defs:
                starts.setdefault(start, []).append((name, size))
        self.starts = starts
        self.sorted_starts = sorted(starts)

    def range_of(self, start):
        size = max(s for _, s in self.starts[start])
        if size == 0:  # an entry without a size runs to the next function
            later = [a for a in self.sorted_starts if a > start]
            size = (later[0] - start) if later else 0
        return start, start + size

    def name_at(self, start):
        names = sorted(n for n, _ in self.starts.get(start, []))
        return names[0] if names else None

    def function_containing(self, addr):
        best = None
        for start in self.sorted_starts:
            if start > addr:
                break
            lo, hi = self.range_of(start)
            if lo <= addr < hi:
                best = start
        return best

    def next_address(self, addr):
        i = self.index[addr] + 1
        return self.addresses[i] if i < len(self.addresses) else None

    def calls(self, start):
        """Direct calls (bl, and branches leaving the function) and indirect
        calls of a function, for the comparison with the compiler's graph."""
        lo, hi = self.range_of(start)
        direct, indirect = [], []
        for addr in self.addresses[self.index.get(lo, 0):]:
            if addr >= hi:
                break
            mnemonic, operands = self.insns[addr]
            base, _ = split_mnemonic(mnemonic)
            target = branch_target(operands)
            if base in ("bl", "blx") and target is not None:
                direct.append((target, addr))
            elif base == "blx" or (base == "bx" and operands != "lr"):
                indirect.append(addr)
            elif base in ("b", "cbz", "cbnz") and target is not None and not lo <= target < hi:
                direct.append((target, addr))
        return direct, indirect

    def depth(self, entry, call_depth):
        """Deepest stack use of the code reached from `entry`, following its
        control flow (branches into other routines included) and adding
        call_depth(target) at each call. Returns (bytes, deepest call target
        or None, problems, whether any instruction reached uses the
        floating-point unit)."""
        problems = []
        fp = False
        best, best_call = 0, None
        seen = {}
        work = [(entry, 0)]
        steps = 0
        while work:
            addr, d = work.pop()
            steps += 1
            if steps > 200000:
                problems.append("stack depth of the code at 0x%08x does not settle" % entry)
                break
            if addr in seen and seen[addr] >= d:
                continue
            if d > 4096:
                problems.append("stack keeps growing in a loop at 0x%08x" % addr)
                break
            seen[addr] = d
            if addr not in self.insns:
                problems.append("control reaches 0x%08x, which is not code" % addr)
                continue
            mnemonic, operands = self.insns[addr]
            base, conditional = split_mnemonic(mnemonic)
            if base is None:
                problems.append("unknown instruction at 0x%08x (%s %s)" % (addr, mnemonic, operands))
                continue
            fp = fp or uses_fp(base)
            effect = stack_effect(base, operands)
            if effect is None:
                problems.append("stack pointer set from a register at 0x%08x (%s %s)" % (addr, mnemonic, operands))
                continue
            after = d + effect
            best = max(best, after)
            following = self.next_address(addr)
            target = branch_target(operands)
            if writes_pc(base, operands):
                if conditional and following is not None:
                    work.append((following, d))
                continue
            if base in ("bl", "blx") and target is not None:
                callee = call_depth(target)
                if after + callee > best:
                    best, best_call = after + callee, target
                if following is not None:
                    work.append((following, after))
                continue
            if base == "blx" or (base == "bx" and operands != "lr"):
                problems.append("indirect branch at 0x%08x" % addr)
                continue
            if base == "bx":
                if conditional and following is not None:
                    work.append((following, d))
                continue
            if base in ("b", "cbz", "cbnz") and target is not None:
                work.append((target, after))
                if (conditional or base != "b") and following is not None:
                    work.append((following, after))
                continue
            if base in ("tbb", "tbh"):
                problems.append("jump table at 0x%08x" % addr)
                continue
            if following is not None:
                work.append((following, max(after, d) if conditional else after))
        return best, best_call, problems, fp


# --------------------------------------------------- compiler's call graph
TITLE_RE = re.compile(r'title: "((?:[^"\\]|\\.)*)"')
LABEL_RE = re.compile(r'label: "((?:[^"\\]|\\.)*)"')
EDGE_RE = re.compile(r'sourcename: "((?:[^"\\]|\\.)*)" targetname: "((?:[^"\\]|\\.)*)"(?: label: "((?:[^"\\]|\\.)*)")?')
BYTES_RE = re.compile(r"(\d+) bytes \(([a-z,]+)\)")


class Function:
    def __init__(self, name, tu, loc, frame, qualifier):
        self.name, self.tu, self.loc, self.frame, self.qualifier = name, tu, loc, frame, qualifier
        self.callees = []   # (callee name, call site)
        self.indirect = []  # call sites


def symbol_of(title):
    """The symbol of a call-graph title: file-local functions are titled
    "<source path>:<symbol>"."""
    return title.rsplit(":", 1)[-1]


# The link step of a link-time-optimised image titles every function with
# its partition's temporary object ("/tmp/ccXXXX.ltrans0.o:<symbol>"): the
# whole image is one unit there, and names are unique in it.
LTRANS_PREFIX_RE = re.compile(r"^[^:]*\.ltrans\d+\.o:")


def plain_title(title):
    return LTRANS_PREFIX_RE.sub("", title)


def read_call_graphs(objects):
    """Function definitions from the .ci and .su files beside each object."""
    defs = []
    problems = []
    for obj in objects:
        # An object, or the call graph itself (the link step's output).
        stem = obj[:-len(".obj")] if obj.endswith(".obj") else os.path.splitext(obj)[0]
        ci_path, su_path = stem + ".ci", stem + ".su"
        if not os.path.exists(ci_path) or not os.path.exists(su_path):
            problems.append("no stack-usage or call-graph file for %s" % obj)
            continue
        su = {}
        with open(su_path) as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 3:
                    # "<file>:<line>:<column>:<name>"; a function and its
                    # specialised clones share the place, not the name.
                    place = parts[0].split(":")
                    su[(":".join(place[:3]), ":".join(place[3:]))] = (int(parts[1]), parts[2])
        by_name = {}
        with open(ci_path) as f:
            for line in f:
                line = line.strip()
                if line.startswith("node:"):
                    title = plain_title(TITLE_RE.search(line).group(1))
                    label = LABEL_RE.search(line).group(1).split("\\n")
                    size = BYTES_RE.search(label[-1]) if len(label) >= 3 else None
                    if size is None:
                        continue  # declared here, defined elsewhere
                    loc = label[1]
                    frame, qualifier = int(size.group(1)), size.group(2)
                    key = (loc, label[0])
                    if key in su and su[key][0] != frame:
                        problems.append("%s: .su says %d bytes, .ci %d" % (title, su[key][0], frame))
                    if key in su:
                        frame, qualifier = su[key]
                    fn = Function(title, ci_path, loc, frame, qualifier)
                    by_name[title] = fn
                    defs.append(fn)
                elif line.startswith("edge:"):
                    m = EDGE_RE.search(line)
                    source, target, site = plain_title(m.group(1)), plain_title(m.group(2)), m.group(3) or "?"
                    fn = by_name.get(source)
                    if fn is None:
                        problems.append("call graph of %s: edge from unknown %s" % (ci_path, source))
                        continue
                    if target == "__indirect_call":
                        fn.indirect.append(site)
                    else:
                        fn.callees.append((target, site))
    return defs, problems


# ------------------------------------------------------------------ analysis
class Analysis:
    def __init__(self, defs, code, elf):
        self.code = code
        self.elf = elf
        self.by_tu = {}
        self.by_name = {}
        for fn in defs:
            self.by_tu.setdefault(fn.tu, {})[fn.name] = fn
            self.by_name.setdefault(fn.name, []).append(fn)
        self.memo = {}
        self.errors = []
        self.notes = []
        self.active = []
        self.lib = {}

    def resolve(self, name, tu=None):
        if tu is not None:
            local = self.by_tu.get(tu, {})
            if name in local:
                return local[name]
            # A file-local function is titled with its file's path.
            for title, fn in local.items():
                if symbol_of(title) == name:
                    return fn
        found = self.by_name.get(name, [])
        if len(found) == 1:
            return found[0]
        if len(found) > 1:
            # Local functions of the same name in several files: take the
            # deepest (cannot tell from the name alone which one is meant).
            self.notes.append("%s is defined in %d files; the deepest is used" % (name, len(found)))
            chosen = max(found, key=lambda f: self.worst(f)[0])
            chosen.alternatives = found  # any of them counts for floating-point use
            return chosen
        return self.library(symbol_of(name))

    def library(self, name):
        """A routine without compiler output, modelled from the machine code."""
        if name in self.lib:
            return self.lib[name]
        fn = Function(name, None, "?", 0, "static")
        self.lib[name] = fn
        defs = self.code.by_name.get(name)
        if not defs:
            self.errors.append("%s is called but not in the image" % name)
            return fn
        start = defs[0][0]
        fn.loc = "image 0x%08x" % start
        self.active.append(fn)
        chain = {}
        inner = {}
        fn.fp_own = False
        fn.lib_callees = []

        def call_depth(target):
            callee = self.code.name_at(target)
            if callee is None:
                # A local subroutine inside the routine (bl to a label).
                if target in inner:
                    if inner[target] is None:
                        self.errors.append("recursion in %s at 0x%08x" % (name, target))
                        return 0
                    return inner[target]
                inner[target] = None
                depth, _, problems, fp = self.code.depth(target, call_depth)
                fn.fp_own = fn.fp_own or fp
                for p in problems:
                    self.errors.append("%s: %s" % (name, p))
                inner[target] = depth
                chain[target] = ["0x%08x" % target]
                return depth
            callee_fn = self.resolve(callee)
            fn.lib_callees.append(callee_fn)
            depth, path = self.worst(callee_fn)
            chain[target] = path
            return depth

        depth, deepest_call, problems, fp = self.code.depth(start, call_depth)
        fn.fp_own = fn.fp_own or fp
        self.active.pop()
        for p in problems:
            self.errors.append("%s: %s" % (name, p))
        fn.frame = depth
        fn.deepest = chain.get(deepest_call, []) if deepest_call is not None else []
        return fn

    def cross_check(self, fn):
        """Calls in the machine code that the compiler's graph does not list."""
        if fn.tu is None or getattr(fn, "checked", False):
            return
        fn.checked = True
        defs = self.code.by_name.get(symbol_of(fn.name), [])
        if len(defs) != 1:
            return  # inlined everywhere, or a local name used in several files
        listed = {symbol_of(c) for c, _ in fn.callees}
        direct, indirect = self.code.calls(defs[0][0])
        for target, site in direct:
            callee_start = self.code.function_containing(target)
            callee = self.code.name_at(callee_start) if callee_start is not None else None
            if callee is None or callee == symbol_of(fn.name):
                continue
            aliases = {n for n, _ in self.code.starts.get(callee_start, [])}
            if not (aliases & listed):
                self.notes.append("%s calls %s at 0x%08x, not in the compiler's call graph: followed"
                                  % (fn.name, callee, site))
                fn.callees.append((callee, "0x%08x" % site))
        if len(indirect) > len(fn.indirect):
            for site in indirect[len(fn.indirect):]:
                fn.indirect.append("0x%08x" % site)

    def indirect_targets(self, fn):
        if fn.name in INIT_ARRAY_CALLERS:
            table = self.elf.section_bytes(".init_array")
            targets = []
            for (addr,) in struct.iter_unpack("<I", table):
                name = self.code.name_at(addr & ~1)
                targets.append(name or "0x%08x" % addr)
            return targets
        return None

    def worst(self, fn):
        """(bytes, path) of the deepest call chain starting in fn."""
        key = id(fn)
        if key in self.memo:
            return self.memo[key]
        if fn in self.active:
            cycle = self.active[self.active.index(fn):] + [fn]
            self.errors.append("recursion: " + " > ".join(f.name for f in cycle))
            return 0, [fn.name]
        if fn.tu is None:
            # Modelled from the machine code: calls already included.
            lib = self.library(fn.name) if fn.name not in self.lib else fn
            result = (lib.frame, ["%s[%d]" % (fn.name, lib.frame)] + getattr(lib, "deepest", []))
            self.memo[key] = result
            return result
        self.active.append(fn)
        self.cross_check(fn)
        if fn.qualifier.startswith("dynamic") and fn.qualifier != "dynamic,bounded":
            self.errors.append("%s (%s) has a dynamic stack frame" % (fn.name, fn.loc))
        best, best_path = 0, []
        callees = [self.resolve(name, fn.tu) for name, _ in fn.callees]
        if fn.indirect:
            targets = self.indirect_targets(fn)
            if targets is None:
                for site in fn.indirect:
                    self.errors.append("indirect call in %s at %s: its targets are unknown" % (fn.name, site))
            else:
                if not targets:
                    self.notes.append("indirect call in %s: .init_array is empty, nothing is called"
                                      % fn.name)
                callees += [self.resolve(t) for t in targets]
        fn.resolved = callees
        for callee in callees:
            depth, path = self.worst(callee)
            if depth > best:
                best, best_path = depth, path
        self.active.pop()
        result = (fn.frame + best, ["%s(%d)" % (fn.name, fn.frame)] + best_path)
        self.memo[key] = result
        return result

    def uses_fp(self, fn, visiting=None):
        """Whether fn, or anything it calls, may execute a floating-point
        instruction. Compiler-described functions are scanned over their
        whole machine code, routines modelled from the image over the code
        the interpreter reached."""
        if hasattr(fn, "fp"):
            return fn.fp
        visiting = visiting if visiting is not None else set()
        if id(fn) in visiting:
            return False  # a recursion, already an error of its own
        visiting.add(id(fn))
        self.worst(fn)
        if fn.tu is None:
            lib = self.library(fn.name) if fn.name not in self.lib else self.lib[fn.name]
            own, callees = getattr(lib, "fp_own", True), getattr(lib, "lib_callees", [])
        else:
            own, callees = self.code_uses_fp(fn), getattr(fn, "resolved", [])
        fn.fp = own or any(self.uses_fp(alt, visiting) for c in callees for alt in getattr(c, "alternatives", [c]))
        return fn.fp

    def code_uses_fp(self, fn):
        defs = self.code.by_name.get(symbol_of(fn.name), [])
        if not defs:
            # Not in the image under its name: counted as using the unit.
            self.notes.append("%s has no code of its own in the image: taken to use floating point" % fn.name)
            return True
        found = False
        for start, _ in defs:
            lo, hi = self.code.range_of(start)
            for addr in self.code.addresses[self.code.index.get(lo, 0):]:
                if addr >= hi:
                    break
                mnemonic, operands = self.code.insns[addr]
                base, _ = split_mnemonic(mnemonic)
                if base is None:
                    self.errors.append("%s: unknown instruction at 0x%08x (%s %s)" % (fn.name, addr, mnemonic,
                                                                                     operands))
                found = found or uses_fp(base)
        return found


    def thread_split(self, entry_fn):
        """(deepest stack before, deepest stack after) the thread's first
        floating-point instruction: CONTROL.FPCA is 0 at reset and is set by
        the first instruction that touches the unit, so an interrupt of the
        thread before it stacks the basic frame. The thread's code is walked
        from the reset entry with the depth and a "may have used the unit"
        mark per instruction. A call made before any floating-point
        instruction to a routine that never uses the unit is all "before";
        one to a routine that may use it is walked into, and everything after
        its return counts as "after". A call made "after" counts whole as
        "after". Any doubt counts as "after", the larger frame."""
        memo = {}

        def walk(fn):
            # (before, after) relative to fn's entry, entered with no
            # floating-point state in the thread yet.
            key = id(fn)
            if key in memo:
                return memo[key]
            if key in active:
                self.errors.append("recursion in the thread's start-up through %s" % fn.name)
                return 0, 0
            active.add(key)
            defs = self.code.by_name.get(symbol_of(fn.name), [])
            if len(defs) != 1:
                # Not one body in the image: all of it counts as "after".
                whole = self.worst(fn)[0]
                active.discard(key)
                memo[key] = (0, whole)
                return memo[key]
            before, after = 0, 0
            seen = {}
            work = [(defs[0][0], 0, False)]
            while work:
                addr, d, fp = work.pop()
                if seen.get((addr, fp), -1) >= d:
                    continue
                seen[(addr, fp)] = d
                if addr not in self.code.insns or len(seen) > 200000:
                    self.errors.append("thread walk of %s: control reaches 0x%08x, which is not code" % (fn.name, addr))
                    continue
                mnemonic, operands = self.code.insns[addr]
                base, conditional = split_mnemonic(mnemonic)
                if base is None:
                    self.errors.append("thread walk of %s: unknown instruction at 0x%08x" % (fn.name, addr))
                    continue
                fp = fp or uses_fp(base)
                effect = stack_effect(base, operands)
                if effect is None:
                    self.errors.append("thread walk of %s: stack pointer set from a register at 0x%08x"
                                       % (fn.name, addr))
                    continue
                here = d + effect
                if fp:
                    after = max(after, d, here)
                else:
                    before = max(before, d, here)
                following = self.code.next_address(addr)
                target = branch_target(operands)
                if writes_pc(base, operands) or (base == "bx" and operands == "lr"):
                    if conditional and following is not None:
                        work.append((following, d, fp))
                    continue
                if base in ("bl", "blx") and target is not None:
                    name = self.code.name_at(target)
                    callee = self.resolve(name) if name is not None else None
                    if callee is None:
                        self.errors.append("thread walk of %s: call into the middle of code at 0x%08x"
                                           % (fn.name, addr))
                        continue
                    whole = self.worst(callee)[0]
                    if fp:
                        after = max(after, here + whole)
                    elif not self.uses_fp(callee):
                        before = max(before, here + whole)
                    else:
                        b, a = walk(callee)
                        before = max(before, here + b)
                        after = max(after, here + a, here)
                        fp = True
                    if following is not None:
                        work.append((following, here, fp))
                    continue
                if base == "blx" or base == "bx":
                    # Indirect: its targets are checked elsewhere; the depth
                    # it reaches counts as "after".
                    after = max(after, here + self.worst(fn)[0])
                    continue
                if base in ("b", "cbz", "cbnz") and target is not None:
                    work.append((target, here, fp))
                    if (conditional or base != "b") and following is not None:
                        work.append((following, here, fp))
                    continue
                if base in ("tbb", "tbh"):
                    after = max(after, self.worst(fn)[0])
                    continue
                if following is not None:
                    work.append((following, max(here, d) if conditional else here, fp))
            active.discard(key)
            # The compiler's figure for the routine bounds both parts.
            whole = self.worst(fn)[0]
            memo[key] = (min(before, whole), min(max(after, 0), whole))
            return memo[key]

        active = set()
        return walk(entry_fn)


def nesting(thread, levels):
    """Worst case of the whole stack. `thread` is (bytes, uses floating
    point) of the reset entry's deepest path; `levels` maps each level that
    has handlers to (bytes of its deepest handler, whether any of its
    handlers uses floating point).

    A level pre-empts only the ones before it in NESTING, and one handler of
    a level runs at a time, so a worst case is a chain of distinct levels in
    that order. Each pre-emption stacks the basic 32-byte frame, or 104
    bytes when the context it interrupts may have floating-point state: on
    exception entry the core clears CONTROL.FPCA, and only a floating-point
    instruction of the handler sets it again, so a handler that never
    touches the unit is always interrupted with the basic frame (with
    FPCCR.ASPEN at its reset value 1; were it cleared, FPCA would never be
    set and every frame would be basic, so the count stays an upper bound).
    Lazy stacking saves a pre-empted context's registers later, into the
    space already reserved in its own frame, never in a new one. Every
    context is rounded up to 8 bytes first, for the alignment word the core
    may insert. Every chain is tried, since leaving out a level can turn
    the next frame from basic to extended.

    Returns (total, [(level, frame, bytes)]) of the deepest chain."""
    present = [level for level in NESTING if level in levels]
    best = (-1, [])
    for mask in range(1 << len(present)):
        chain = [level for i, level in enumerate(present) if mask >> i & 1]
        total, below_fp, parts = round8(thread[0]), thread[1], []
        for level in chain:
            depth, fp = levels[level]
            frame = FP_FRAME if below_fp else BASIC_FRAME
            total += frame + round8(depth)
            parts.append((level, frame, round8(depth)))
            below_fp = fp
        if total > best[0]:
            best = (total, parts)
    return best


def demangle(entries):
    """Readable names for path entries such as _Z8LED_Initv(12)."""
    split = [re.match(r"^(.*?)([(\[]\d+[)\]])?$", e).groups() for e in entries]
    names = [symbol_of(n) for n, _ in split]
    try:
        out = subprocess.run(["c++filt"], input="\n".join(names), stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout.splitlines()
        names = [re.sub(r"\(.*\)$", "", n) for n in out]
    except (OSError, subprocess.CalledProcessError):
        pass
    return [n + (size or "") for n, (_, size) in zip(names, split)]


def vector_handlers(elf, code):
    table = elf.section_bytes(".isr_vector")
    entries = [v for (v,) in struct.iter_unpack("<I", table)]
    handlers = []
    for number in range(1, min(len(entries), VECTOR_COUNT)):
        addr = entries[number]
        if addr == 0:
            continue
        names = sorted(n for n, _ in code.starts.get(addr & ~1, []))
        if not names:
            raise SystemExit("vector %d points to 0x%08x, not to a function" % (number, addr))
        handlers.append((number, names[0], level_of_exception(number)))
    return handlers


# ----------------------------------------------------------------------- main
def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--elf", required=True)
    p.add_argument("--objdump", default="arm-none-eabi-objdump")
    p.add_argument("--stack-budget", type=int, default=512)
    p.add_argument("--stack-size", type=int, default=1024)
    p.add_argument("--flash-budget", type=int, default=16384)
    p.add_argument("--ram-budget", type=int, default=1024)
    p.add_argument("--report", help="file for the full report")
    p.add_argument("--keep-on-failure", action="store_true", help="do not remove the image when a budget fails")
    p.add_argument("objects", nargs="*", help="the image's objects, with their .su and .ci files beside them, "
                   "or the .ci files of the link step (the .su beside each)")
    args = p.parse_args()

    elf = Elf(args.elf)
    code = Code(elf, disassemble(args.objdump, args.elf))
    defs, problems = read_call_graphs([o for o in args.objects if o])
    analysis = Analysis(defs, code, elf)
    analysis.errors += problems

    handlers = vector_handlers(elf, code)
    contexts = {THREAD: [], LEVEL1: [], LEVEL0: [], FAULTS: []}
    for number, name, level in handlers:
        fn = analysis.resolve(name)
        depth, path = analysis.worst(fn)
        contexts[level].append((depth, path, number, analysis.uses_fp(fn)))

    levels = {}
    for level in (THREAD,) + NESTING:
        entries = contexts[level]
        if entries:
            levels[level] = (max(e[0] for e in entries), any(e[3] for e in entries))
    if THREAD not in levels:
        raise SystemExit("the vector table has no reset entry")
    thread = levels.pop(THREAD)
    # The thread without floating-point state up to its first floating-point
    # instruction, with it from there on: each part under its own frames.
    reset_names = [name for number, name, level in handlers if level == THREAD]
    before_fp, after_fp = analysis.thread_split(analysis.resolve(reset_names[0]))
    parts = [(before_fp, False), (after_fp, True)] if thread[1] else [thread]
    total, chain, thread = max((nesting(part, levels) + (part,) for part in parts), key=lambda r: r[0])

    lines = []
    for level, frame, depth in [(THREAD, 0, round8(thread[0]))] + chain:
        entries = contexts[level]
        deepest = max(entries, key=lambda e: e[0])
        shown = " > ".join(demangle(deepest[1])) if level != THREAD or deepest[0] == thread[0] else (
            "the deepest point %s the first floating-point instruction" % ("after" if thread[1] else "before"))
        frame_text = "frame %3d + " % frame if frame else ""
        lines.append("  %-8s %4d = %s%3d  %s" % (level, frame + depth, frame_text, depth, shown))
        if level != THREAD:
            with_fp = sorted({e[1][0] for e in entries if e[3]})
            lines.append("  %-8s      (%d vectors: %s; floating point in: %s)"
                         % ("", len(entries), ", ".join(sorted({e[1][0] for e in entries})),
                            ", ".join(with_fp) or "none"))
    lines.append("  (thread: %d bytes before its first floating-point instruction, %d after; chain taken from the %s"
                 " part; levels left out of the deepest chain: %s)"
                 % (before_fp, after_fp, "floating-point" if thread[1] else "integer",
                    ", ".join(l for l in NESTING if l in levels and l not in [c[0] for c in chain]) or "none"))

    # Flash: from the start of flash to the last byte loaded there (the
    # initial values of .data included). Static RAM: .data and .bss.
    flash_end = FLASH_BASE
    for seg in elf.segments:
        if seg["load"] and seg["filesz"] and FLASH_BASE <= seg["paddr"] < RAM_BASE:
            flash_end = max(flash_end, seg["paddr"] + seg["filesz"])
    flash = flash_end - FLASH_BASE
    ram = sum(s["size"] for s in elf.sections
              if s["flags"] & 2 and s["addr"] >= RAM_BASE and s["name"] != ".stack")  # SHF_ALLOC
    stack_section = elf.section(".stack")
    stack_size = stack_section["size"] if stack_section else args.stack_size

    unbounded = bool(analysis.errors)
    fails = []
    if unbounded:
        fails.append("stack figure not bounded")
    if total > args.stack_budget:
        fails.append("stack %d > %d bytes" % (total, args.stack_budget))
    if flash > args.flash_budget:
        fails.append("flash %d > %d bytes" % (flash, args.flash_budget))
    if ram > args.ram_budget:
        fails.append("static RAM %d > %d bytes" % (ram, args.ram_budget))

    head = ("stack: worst case %d bytes of the %d-byte stack (budget %d)%s"
            % (total, stack_size, args.stack_budget, ", NOT BOUNDED" if unbounded else ""))
    size_line = ("flash %d of %d bytes; static RAM (.data + .bss) %d of %d bytes"
                 % (flash, args.flash_budget, ram, args.ram_budget))
    report = [head] + lines + [size_line]
    for e in analysis.errors:
        report.append("  error: " + e)
    for n in sorted(set(analysis.notes)):
        report.append("  note: " + n)
    print("\n".join(report))
    if args.report:
        with open(args.report, "w") as f:
            f.write("\n".join(report) + "\n")

    if fails:
        print("budget check FAILED: " + "; ".join(fails))
        if not args.keep_on_failure:
            try:
                os.remove(args.elf)
                print("removed %s so that the next build checks again" % args.elf)
            except OSError:
                pass
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
