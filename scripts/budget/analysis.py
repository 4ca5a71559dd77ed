"""Call chains of the image: the compiler's frames and edges, completed from
the machine code, with routines the compiler did not describe modelled from
their instructions."""

from .callgraph import Function, symbol_of
from .thumb import UNKNOWN, decode
from .walker import walk

# Indirect call sites whose targets are known: the start-up's run of static
# constructors calls exactly the entries of .init_array.
INIT_ARRAY_CALLERS = {"_ZN4port12runtime_initEv"}


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
            return [self.code.name_at(addr & ~1) or "0x%08x" % addr for addr in self.elf.words(".init_array")]
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
            for addr, mnemonic, operands in self.code.body(start):
                insn = decode(mnemonic, operands)
                if insn.kind == UNKNOWN:
                    self.errors.append("%s: unknown instruction at 0x%08x (%s %s)" % (fn.name, addr, mnemonic,
                                                                                     operands))
                found = found or insn.fp
        return found

    def thread_split(self, entry_fn):
        """(deepest stack before, deepest stack after) the thread's first
        floating-point instruction: CONTROL.FPCA is 0 at reset and is set by
        the first instruction that touches the unit, so an interrupt of the
        thread before it stacks the basic frame. The thread's code is walked
        from the reset entry with the depth and a "may have used the unit"
        mark per path. A call made before any floating-point instruction to
        a routine that never uses the unit is all "before"; one to a routine
        that may use it is walked into, and everything after its return
        counts as "after". A call made "after" counts whole as "after", and
        so does the rest of a routine past an indirect branch or a jump
        table (their targets are checked with the call chains). Any doubt
        counts as "after", the larger frame."""
        memo = {}
        active = set()

        def split(fn):
            # (before, after) relative to fn's entry, entered with no
            # floating-point state in the thread yet.
            key = id(fn)
            if key in memo:
                return memo[key]
            if key in active:
                self.errors.append("recursion in the thread's start-up through %s" % fn.name)
                return 0, 0
            whole = self.worst(fn)[0]
            defs = self.code.by_name.get(symbol_of(fn.name), [])
            if len(defs) != 1:
                # Not one body in the image: all of it counts as "after".
                memo[key] = (0, whole)
                return memo[key]
            active.add(key)
            part = {False: 0, True: 0}  # deepest before / after

            def reach(depth, fp):
                part[fp] = max(part[fp], depth)

            def call(addr, target, depth, fp):
                name = self.code.name_at(target)
                callee = self.resolve(name) if name is not None else None
                if callee is None:
                    self.errors.append("thread walk of %s: call into the middle of code at 0x%08x" % (fn.name, addr))
                    return None
                if fp or not self.uses_fp(callee):
                    part[fp] = max(part[fp], depth + self.worst(callee)[0])
                    return fp
                before, after = split(callee)
                part[False] = max(part[False], depth + before)
                part[True] = max(part[True], depth + after)
                return True

            def stop(kind, addr, text, depth, fp):
                part[True] = max(part[True], depth + whole)

            for problem in walk(self.code, defs[0][0], reach, call, stop):
                self.errors.append("thread walk of %s: %s" % (fn.name, problem))
            active.discard(key)
            # The compiler's figure for the routine bounds both parts.
            memo[key] = (min(part[False], whole), min(part[True], whole))
            return memo[key]

        return split(entry_fn)
