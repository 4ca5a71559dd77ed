"""The image's routines and the walk of their control flow."""

from .thumb import BRANCH, CALL, INDIRECT, RETURN, SP_SET, TABLE, UNKNOWN, decode


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

    def body(self, start):
        """(address, mnemonic, operands) of every instruction of the function
        that starts at `start`, in order."""
        lo, hi = self.range_of(start)
        for addr in self.addresses[self.index.get(lo, 0):]:
            if addr >= hi:
                break
            yield (addr,) + self.insns[addr]

    def calls(self, start):
        """Direct calls (bl, and branches leaving the function) and indirect
        calls of a function, for the comparison with the compiler's graph."""
        lo, hi = self.range_of(start)
        direct, indirect = [], []
        for addr, mnemonic, operands in self.body(start):
            insn = decode(mnemonic, operands)
            if insn.kind == CALL or (insn.kind == BRANCH and not lo <= insn.target < hi):
                direct.append((insn.target, addr))
            elif insn.kind == INDIRECT:
                indirect.append(addr)
        return direct, indirect

    def depth(self, entry, call_depth):
        """Deepest stack use of the code reached from `entry`, following its
        control flow (branches into other routines included) and adding
        call_depth(target) at each call. Returns (bytes, deepest call target
        or None, problems, whether any instruction reached uses the
        floating-point unit)."""
        best, best_call, any_fp = 0, None, False

        def reach(depth, fp):
            nonlocal best, any_fp
            best, any_fp = max(best, depth), any_fp or fp

        def call(addr, target, depth, fp):
            nonlocal best, best_call
            total = depth + call_depth(target)
            if total > best:
                best, best_call = total, target
            return fp

        def stop(kind, addr, text, depth, fp):
            return "%s at 0x%08x (%s)" % ("indirect branch" if kind == INDIRECT else kind, addr, text)

        problems = walk(self, entry, reach, call, stop)
        return best, best_call, problems, any_fp


# Bounds of a walk: no stack of the board comes near GROWTH_LIMIT bytes, so a
# path deeper than that is a loop that pushes on every turn; STEP_LIMIT is a
# last guard that ends any walk.
GROWTH_LIMIT = 4096
STEP_LIMIT = 200000


def walk(code, entry, reach, call, stop):
    """Every path of control from `entry` (stack depth 0, no floating-point
    state), one instruction at a time, with the depth and whether a
    floating-point instruction has run on the path. For each instruction
    reached:
      reach(depth, fp)   the depth after it (fp includes the instruction);
      call(addr, target, depth, fp) at a call: the fp of the path after the
                         call returns, or None when the path ends there;
      stop(kind, addr, text, depth, fp) at an INDIRECT branch or a jump
                         TABLE, where the path ends: a problem, or None.
    A state (address, fp) is walked again only when reached deeper, so every
    walk ends: a deepening loop passes GROWTH_LIMIT. Returns the problems
    that leave the depth unknown: an unknown instruction, a stack pointer
    set from a register, control reaching what is not code, a loop that
    keeps pushing, and those stop() gave."""
    problems = []
    seen = {}
    work = [(entry, 0, False)]
    steps = 0
    while work:
        addr, depth, fp = work.pop()
        steps += 1
        if steps > STEP_LIMIT:
            problems.append("stack depth of the code at 0x%08x does not settle" % entry)
            break
        if (addr, fp) in seen and seen[(addr, fp)] >= depth:
            continue
        if depth > GROWTH_LIMIT:
            problems.append("stack keeps growing in a loop at 0x%08x" % addr)
            break
        seen[(addr, fp)] = depth
        if addr not in code.insns:
            problems.append("control reaches 0x%08x, which is not code" % addr)
            continue
        mnemonic, operands = code.insns[addr]
        insn = decode(mnemonic, operands)
        text = ("%s %s" % (mnemonic, operands)).strip()
        if insn.kind == UNKNOWN:
            problems.append("unknown instruction at 0x%08x (%s)" % (addr, text))
            continue
        if insn.kind == SP_SET:
            problems.append("stack pointer set from a register at 0x%08x (%s)" % (addr, text))
            continue
        fp = fp or insn.fp
        after = depth + insn.effect
        reach(max(depth, after), fp)
        following = code.next_address(addr)
        nexts = []
        if insn.kind == RETURN:
            if insn.conditional:  # not taken: nothing was popped
                nexts.append((following, depth, fp))
        elif insn.kind == CALL:
            returned = call(addr, insn.target, after, fp)
            if returned is not None:
                nexts.append((following, after, returned))
        elif insn.kind in (INDIRECT, TABLE):
            problem = stop(insn.kind, addr, text, after, fp)
            if problem is not None:
                problems.append(problem)
        elif insn.kind == BRANCH:
            nexts.append((insn.target, after, fp))
            if insn.conditional:
                nexts.append((following, after, fp))
        else:  # an instruction under a condition may or may not have run
            nexts.append((following, max(after, depth) if insn.conditional else after, fp))
        work += [n for n in nexts if n[0] is not None]
    return problems
