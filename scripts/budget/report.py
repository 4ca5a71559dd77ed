"""The check's figures and their report: the stack under the priority plan,
flash and static RAM."""

import re
import subprocess

from .analysis import Analysis
from .callgraph import read_call_graphs, symbol_of
from .elf import Elf
from .priority_plan import FAULTS, LEVEL0, LEVEL1, NESTING, THREAD, level_of_exception, nesting, round8
from .thumb import disassemble
from .walker import Code

VECTOR_COUNT = 16 + 82


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
    """(exception number, handler, level) of every vector that is set."""
    entries = elf.words(".isr_vector")
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


def stack(analysis, handlers):
    """(worst case, report lines) of the whole stack: the deepest handler of
    each level nested over the thread by the priority plan."""
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
    return total, lines


def check(args):
    """(report lines, failed budgets) of the image that args name."""
    elf = Elf(args.elf)
    code = Code(elf, disassemble(args.objdump, args.elf))
    defs, problems = read_call_graphs([o for o in args.objects if o])
    analysis = Analysis(defs, code, elf)
    analysis.errors += problems
    total, lines = stack(analysis, vector_handlers(elf, code))

    flash, ram = elf.flash_used(), elf.static_ram()
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
    report += ["  error: " + e for e in analysis.errors]
    report += ["  note: " + n for n in sorted(set(analysis.notes))]
    return report, fails
