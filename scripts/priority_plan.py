"""The interrupt priority plan in force after start-up, as the stack check
counts it and the boot check finds it in the running image.

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
