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
depth where it stands. An instruction the interpreter does not know, a
stack pointer set from a register, an indirect branch, a jump table or a
loop that keeps pushing makes the figure unbounded: counting it as 0 bytes
could hide a push. The same walk, marking the paths on which a
floating-point instruction has run, splits the thread into its parts before
and after the first one, which are interrupted with different frames. The
disassembly of the firmware's own functions is compared with the
compiler's call graph: a call that the graph does not list is reported and
followed.

Every call path is followed from the reset entry (start-up and main: the
thread) and from every handler in the vector table. An indirect call or a
recursion makes the figure unbounded and fails the check, except the run of
static constructors in the start-up, whose targets are exactly the entries
of .init_array (normally none).

Nesting, under the priority plan of budget/priority_plan.py (one
pre-emption bit after start-up; the boot check compares it with the
running image):
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
import os
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from budget.report import check  # noqa: E402


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
    if args.report and os.path.exists(args.report):
        stems = [os.path.splitext(o)[0] for o in args.objects if o]
        inputs = [args.elf] + args.objects + [s + ext for s in stems for ext in (".ci", ".su")]
        if any(os.path.exists(i) and os.path.samefile(i, args.report) for i in inputs):
            p.error("--report %s is one of the check's inputs" % args.report)

    report, fails = check(args)
    print("\n".join(report))
    if args.report:
        # Put in place whole, by rename: an interrupted run leaves the old report.
        with open(args.report + ".tmp", "w") as f:
            f.write("\n".join(report) + "\n")
        os.replace(args.report + ".tmp", args.report)

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
