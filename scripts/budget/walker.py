"""The image's routines and the walk of their control flow."""

from .thumb import branch_target, split_mnemonic, stack_effect, uses_fp, writes_pc


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
