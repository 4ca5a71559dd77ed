"""The interrupt priority plan in force after start-up, as the stack check
counts it and the boot check finds it in the running image, and how its
levels nest on the stack.

The key set-up leaves the grouping at one pre-emption bit (the top bit of
each 4-bit priority byte), so there are two pre-emption levels: 0 (bytes
below 0x80, more urgent) and 1. Handlers of one level never pre-empt each
other; level 0 pre-empts level 1, and faults pre-empt both.
"""

GROUPING = 0x600  # AIRCR PRIGROUP field: one pre-emption bit, three sub-priority bits
PRIORITY_BITS = 4

THREAD, LEVEL1, LEVEL0, FAULTS = "thread", "level 1", "level 0", "faults"
NESTING = (LEVEL1, LEVEL0, FAULTS)  # each can pre-empt the ones before it

FAULT_EXCEPTIONS = range(2, 7)  # NMI, HardFault, MemManage, BusFault, UsageFault
DEVICE_BASE = 16

# Exceptions given a priority at start-up: exception number -> (what, byte).
PRIORITIES = {
    15: ("SysTick", 0xF0),
    DEVICE_BASE + 23: ("keys", 0x30),
    DEVICE_BASE + 29: ("capture timer", 0x20),
    DEVICE_BASE + 39: ("serial receive", 0xB0),
    DEVICE_BASE + 54: ("scheduler tick", 0x10),
}


def level_of_byte(byte, grouping=GROUPING):
    """Pre-emption level of a priority byte under the grouping."""
    shift = ((grouping >> 8) & 7) + 1  # bits below the pre-emption field
    preemption = byte >> shift if shift < 8 else 0
    return LEVEL0 if preemption == 0 else LEVEL1 if preemption == 1 else None


def level_of_exception(number):
    """Level of an exception: faults above everything, the reset entry is
    the thread, and every exception without a priority of its own keeps
    the reset value 0, which is level 0."""
    if number == 1:
        return THREAD
    if number in FAULT_EXCEPTIONS:
        return FAULTS
    if number in PRIORITIES:
        return level_of_byte(PRIORITIES[number][1])
    return LEVEL0


# Exception frames: the basic frame (r0-r3, r12, lr, pc, xPSR) and the
# extended one with S0..S15, FPSCR and a reserved word, whose space the core
# reserves whenever the interrupted context has live floating-point state
# (CONTROL.FPCA set), even when lazy stacking defers the saving itself.
BASIC_FRAME = 32
FP_FRAME = 104


def round8(n):
    return (n + 7) & ~7


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
