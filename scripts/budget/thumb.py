"""What one Thumb instruction does, as the check reads it from objdump's
listing: its base and condition, its effect on the stack pointer, its branch
target and whether it touches the floating-point unit."""

import collections
import re
import subprocess

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


# What an instruction does to the flow of control.
NEXT = "next"            # goes on to the next instruction
BRANCH = "branch"        # to a known address (and on, when conditional)
CALL = "call"            # a call to a known address, returning after it
RETURN = "return"
INDIRECT = "indirect"    # to an address held in a register or in memory
TABLE = "jump table"     # tbb, tbh
UNKNOWN = "unknown"      # not an instruction the interpreter knows
SP_SET = "sp set"        # the stack pointer set to what is not a constant change

Insn = collections.namedtuple("Insn", "kind conditional effect fp target")

# Instructions whose first operand is read, not written.
READS_FIRST = {"cmp", "cmn", "tst", "teq", "str", "strb", "strh", "strd", "strex", "push", "pld"}


def pc_write(base, operands):
    """RETURN for the returns compilers write (pop {..., pc}, ldm sp!, {...,
    pc}, ldr pc, [sp], #4, mov pc, lr, bx lr), INDIRECT for any other write
    of pc, None when pc is not written."""
    if base in ("pop", "ldm", "ldmia", "ldmfd", "ldmdb"):
        if not re.search(r"\bpc\b", operands):
            return None
        return RETURN if base == "pop" or operands.startswith("sp!") else INDIRECT
    if base == "bx":
        return RETURN if operands == "lr" else INDIRECT
    if re.match(r"pc\b", operands) and base not in READS_FIRST:
        if (base, operands) == ("mov", "pc, lr") or (base == "ldr" and re.match(r"pc, \[sp\], #\d+$", operands)):
            return RETURN
        return INDIRECT
    return None


def decode(mnemonic, operands):
    """What one instruction does: its kind (above), whether it may not be
    taken (a condition, or cbz/cbnz), its stack effect in bytes, whether it
    touches the floating-point unit, and its branch or call target."""
    base, conditional = split_mnemonic(mnemonic)
    if base is None:
        return Insn(UNKNOWN, False, 0, False, None)
    effect = stack_effect(base, operands)
    if effect is None:
        return Insn(SP_SET, False, 0, False, None)
    target = branch_target(operands)
    kind = pc_write(base, operands)
    if kind is None and base in ("bl", "blx"):
        kind = CALL if target is not None else INDIRECT
    elif kind is None and base in ("b", "cbz", "cbnz"):
        kind = BRANCH if target is not None else INDIRECT
        conditional = conditional or base != "b"
    elif kind is None:
        kind = TABLE if base in ("tbb", "tbh") else NEXT
    return Insn(kind, conditional, effect, uses_fp(base), target)
