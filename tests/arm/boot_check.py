# Boots the board image on QEMU's STM32F405 machine under gdb and checks that
# it reaches the main loop with the start-up state in place; then runs the
# main loop's telemetry step on the shared angle vectors (frame_vectors.h),
# checking the angle-to-hundredths conversion on the image itself.
#
#   gdb-multiarch -batch -nx -x boot_check.py firmware.elf
#
# The emulator has no clock controller, GPIO or TIM6: the crystal never
# reports ready, so the failed-crystal path runs (the core stays on the
# internal 16 MHz oscillator) and the scheduler tick never fires. Every
# register checked here is one the emulator models (NVIC, SCB, SysTick,
# USART3).
import os
import re
import struct
import sys
from fractions import Fraction

import gdb

# The emulator talks to gdb over a pipe; `timeout` makes sure it never
# outlives a run that went wrong.
QEMU = ("timeout 50 qemu-system-arm -M netduinoplus2 -display none -monitor none -serial null "
        "-icount shift=0,align=off,sleep=off -S -gdb stdio -kernel {elf}")

# Instructions the main loop runs after start-up before it is looked at again.
LOOP_STEPS = 1000

failures = []
passes = 0


def check(what, got, want):
    global passes
    if got == want:
        passes += 1
        print("ok       %-44s %s" % (what, fmt(got)))
    else:
        failures.append(what)
        print("MISMATCH %-44s got %s want %s" % (what, fmt(got), fmt(want)))


def fmt(v):
    if isinstance(v, bool):
        return "yes" if v else "no"
    return "%d (0x%x)" % (v, v)


DEVICE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                          "firmware", "Libraries", "Device")


def device_bases():
    """The block addresses as the device headers name them (NAME = 0x...u, or another
    base plus an offset), so that the check restates no address."""
    bases = {}
    pattern = re.compile(r"inline constexpr std::uintptr_t (\w+_BASE) = "
                         r"(?:(\w+_BASE)(?: \+ (0x[0-9A-Fa-f]+)u)?|(0x[0-9A-Fa-f]+)u);")
    text = ""
    for header in ("memory_map.h", "device.h"):  # the spaces first, then what builds on them
        with open(os.path.join(DEVICE_DIR, header)) as f:
            text += f.read()
    for name, other, offset, address in pattern.findall(text):
        bases[name] = bases[other] + int(offset or "0", 16) if other else int(address, 16)
    return bases


BASES = device_bases()


def u32(expr):
    return int(gdb.parse_and_eval("*(unsigned int*)(%s)" % expr)) & 0xFFFFFFFF


def u8(expr):
    return int(gdb.parse_and_eval("*(unsigned char*)(%s)" % expr)) & 0xFF


def f32_bits(expr):
    return u32("&(%s)" % expr)


def float_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def f32_of_literal(text):
    """The float a C single-precision literal denotes (rounded once, to
    nearest even, as the compiler does), as its bit pattern."""
    t = text.strip().replace(" ", "")
    sign = 0
    if t.startswith("-"):
        sign, t = 1, t[1:]
    if t == "__builtin_inff()":
        return (sign << 31) | 0x7F800000
    if t.startswith("__builtin_nanf("):
        return 0x7FC00000
    x = Fraction(t.rstrip("fF"))
    if x == 0:
        return sign << 31
    e = x.numerator.bit_length() - x.denominator.bit_length()
    while Fraction(2) ** e > x:
        e -= 1
    while Fraction(2) ** (e + 1) <= x:
        e += 1
    e = max(e, -126)  # subnormal range keeps the exponent of the smallest normal
    scaled = x / Fraction(2) ** (e - 23)  # 24 significant bits before the point
    m = scaled.numerator // scaled.denominator
    rest = scaled - m
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and m % 2 == 1):
        m += 1
    if m == 1 << 24:
        m, e = 1 << 23, e + 1
    if e > 127:
        return (sign << 31) | 0x7F800000
    if m < (1 << 23):
        return (sign << 31) | m  # subnormal
    return (sign << 31) | ((e + 127) << 23) | (m - (1 << 23))


def angle_vectors():
    """(name, degrees bits, slot) of the shared angle-to-hundredths vectors."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vectors", "frame_vectors.h")
    with open(header) as f:
        text = f.read()
    table = text[text.index("kAngles[] = {"):]
    table = table[:table.index("};")]
    entry = re.compile(r'\{"((?:[^"\\]|\\.)*)",\s*(.+?),\s*(-?\d+)\},')
    return [(m.group(1), f32_of_literal(m.group(2)), int(m.group(3))) for m in entry.finditer(table)]


def in_function(name, address):
    """Whether an address lies in the named function of the image, by the
    symbol table: the link-time optimiser may give it a suffix (main.isra.0)
    and spread its debug ranges over inlined code."""
    where = gdb.execute("info symbol 0x%x" % address, to_string=True)
    return re.match(r"^%s(\.\w+)* (\+ \d+ )?in section" % re.escape(name), where) is not None


def pc():
    return int(gdb.parse_and_eval("$pc")) & 0xFFFFFFFF


def main():
    elf = gdb.current_progspace().filename
    gdb.execute("set pagination off")
    gdb.execute("set confirm off")
    gdb.execute("set suppress-cli-notifications on")
    gdb.execute("target remote | " + QEMU.format(elf=elf), to_string=True)

    # Stop on any fault or unexpected interrupt: the run must not get there.
    stops = ["HardFault_Handler", "MemManage_Handler", "BusFault_Handler", "UsageFault_Handler",
             "Default_Handler"]
    for s in stops:
        gdb.execute("break %s" % s, to_string=True)

    # Start-up ends with the scheduler timer's set-up; its return lands in
    # the main loop.
    setup_end = gdb.Breakpoint("TIM6_Init", internal=True)
    gdb.execute("continue", to_string=True)
    frame = gdb.selected_frame()
    if frame.name() != "TIM6_Init":
        failures.append("start-up stopped in %s before the scheduler timer's set-up" % frame.name())
        return
    gdb.execute("finish", to_string=True)
    check("back in main after the last set-up step", in_function("main", pc()), True)

    # The loop keeps running: no fault, no stop, still in main.
    setup_end.delete()
    gdb.execute("stepi %d" % LOOP_STEPS, to_string=True)
    later = pc()
    check("still in the main loop after %d instructions" % LOOP_STEPS, in_function("main", later), True)

    # Interrupt priorities: grouping 1, then the three channels.
    scb, nvic = BASES["SCB_BASE"], BASES["NVIC_BASE"]
    check("SCB->AIRCR PRIGROUP (grouping 1)", u32(scb + 0x0C) & 0x700, 0x600)
    check("NVIC IP[23] keys", u8(nvic + 0x300 + 23), 0x30)
    check("NVIC IP[39] serial receive", u8(nvic + 0x300 + 39), 0xB0)
    check("NVIC IP[54] scheduler tick", u8(nvic + 0x300 + 54), 0x10)
    # The capture timer shares level 0; when several wait, the tick goes
    # first, then the capture, then the keys.
    capture = u8(nvic + 0x300 + 29)
    check("NVIC IP[29] capture timer on level 0", capture & 0x80, 0)
    check("NVIC IP[29] between tick and keys", bool(0x10 < capture < 0x30), True)
    check("NVIC ISER[0] bit 23 keys", (u32(nvic + 0x00) >> 23) & 1, 1)
    check("NVIC ISER[0] bit 29 capture timer", (u32(nvic + 0x00) >> 29) & 1, 1)
    check("NVIC ISER[1] bit 7 serial receive", (u32(nvic + 0x04) >> 7) & 1, 1)
    check("NVIC ISER[1] bit 22 scheduler tick", (u32(nvic + 0x04) >> 22) & 1, 1)
    check_priority_plan(scb, nvic)

    # SysTick: 1 ms at the assumed 168 MHz, lowest priority. COUNTFLAG
    # (bit 16) depends on when it is read and is masked.
    systick = BASES["SysTick_BASE"]
    check("SysTick LOAD", u32(systick + 0x04), 167999)
    check("SysTick CTRL", u32(systick) & 0xFFFF, 7)
    check("SCB->SHP[11] SysTick priority", u8(scb + 0x18 + 11), 0xF0)

    # Clock set-up: FPU on, vector table at the start of flash, and the
    # failed-crystal path, seen by the clock check.
    check("SCB->CPACR CP10/CP11 full access", u32(scb + 0x88) & 0x00F00000, 0x00F00000)
    check("SCB->VTOR", u32(scb + 0x08), 0x08000000)
    check("SystemCoreClock", u32("&SystemCoreClock"), 168000000)
    check("SysClockSource (internal oscillator)", u8("&SysClockSource"), 0x00)
    for field in ("SYSCLK_Frequency", "HCLK_Frequency", "PCLK1_Frequency", "PCLK2_Frequency"):
        check("RCC_ClockFreq.%s" % field, u32("&RCC_ClockFreq.%s" % field), 16000000)

    # Serial port: its divider comes from the live clock registers, so it
    # is right for 500000 baud at 16 MHz; receiver, transmitter, receive
    # interrupt and the port on.
    usart3 = BASES["USART3_BASE"]
    check("USART3->BRR (16 MHz / 500000)", u32(usart3 + 0x08) & 0xFFFF, 0x0020)
    check("USART3->CR1", u32(usart3 + 0x0C) & 0xFFFF, 0x202C)

    # Globals keep their initial values: no tick, so no work has run.
    for name, value in (("Des", 0.0), ("FB", 0.0), ("Kp", 0.26), ("Ki", 0.04), ("Kd", 0.06), ("E", 0.0),
                        ("PreE", 0.0), ("SumE", 0.0), ("U", 0.0), ("UMax", 12.0), ("UMin", -12.0),
                        ("EMin", 0.0)):
        check("MotorAPosition.%s" % name, f32_bits("MotorAPosition.%s" % name), float_bits(value))
    check("AngleComp", f32_bits("AngleComp"), float_bits(40.0))
    for flag in ("gFlag100ms", "gFlag5ms", "gFlagControl"):
        check(flag, u8("&%s" % flag), 0)
    for i in range(3):
        check("Task_Delay[%d]" % i, u32("&Task_Delay[%d]" % i), 0)

    check_hundredths()


def check_priority_plan(scb, nvic):
    """The stack check nests handlers by the plan in budget/priority_plan.py;
    every exception the running image can take must be on the level the plan
    gives it, so that the plan cannot drift from the image."""
    sys.dont_write_bytecode = True  # no __pycache__ in the source tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
    from budget import priority_plan as plan

    grouping = u32(scb + 0x0C) & 0x700
    check("grouping is the plan's", grouping, plan.GROUPING)
    # SVCall, DebugMonitor, PendSV and SysTick: SHP bytes 7, 8, 10, 11.
    for number, index in ((11, 7), (12, 8), (14, 10), (15, 11)):
        byte = u8(scb + 0x18 + index)
        check("exception %d (byte 0x%02x) on the plan's %s" % (number, byte, plan.level_of_exception(number)),
              plan.level_of_byte(byte, grouping) == plan.level_of_exception(number), True)
    enabled = []
    for irq in range(82):
        if (u32(nvic + 4 * (irq // 32)) >> (irq % 32)) & 1:
            enabled.append(irq)
            number = plan.DEVICE_BASE + irq
            byte = u8(nvic + 0x300 + irq)
            check("IRQ %d (byte 0x%02x) on the plan's %s" % (irq, byte, plan.level_of_exception(number)),
                  plan.level_of_byte(byte, grouping) == plan.level_of_exception(number), True)
    check("every enabled interrupt is in the plan",
          all(plan.DEVICE_BASE + irq in plan.PRIORITIES for irq in enabled), True)


def i16(reg):
    v = int(gdb.parse_and_eval("$%s" % reg)) & 0xFFFF
    return v - 0x10000 if v & 0x8000 else v


def check_hundredths():
    """The main loop's conversion of the angles into frame slots, on the
    image itself: the absolute angle and the setpoint are written, the 5 ms
    flag raised (the emulator has no TIM6 to raise it), and the two slots
    read from the arguments of the frame call."""
    vectors = angle_vectors()
    check("angle vectors read from frame_vectors.h", len(vectors) > 0, True)
    gdb.execute("break ANO_TC_Send_Senser", to_string=True)
    for n, (name, bits, slot) in enumerate(vectors):
        # The setpoint gets the next vector's angle, so both slots vary.
        _, next_bits, next_slot = vectors[(n + 1) % len(vectors)]
        gdb.execute("set var *(unsigned int*)&AbPitchAngle = %d" % bits, to_string=True)
        gdb.execute("set var *(unsigned int*)&MotorAPosition.Des = %d" % next_bits, to_string=True)
        gdb.execute("set var gFlag5ms = SET", to_string=True)
        gdb.execute("continue", to_string=True)
        if gdb.selected_frame().name() != "ANO_TC_Send_Senser":
            failures.append("hundredths: the frame call did not come (stopped in %s)" % gdb.selected_frame().name())
            return
        check("a_x for AbPitchAngle %s" % name, i16("r0"), slot)
        check("a_y for Des %s" % vectors[(n + 1) % len(vectors)][0], i16("r1"), next_slot)
        # Let the frame go and the loop clear the flag before the next one.
        gdb.execute("watch -l gFlag5ms", to_string=True)
        gdb.execute("continue", to_string=True)
        gdb.execute("delete %d" % max(b.number for b in gdb.breakpoints()), to_string=True)
        check("5 ms flag cleared after the frame", u8("&gFlag5ms"), 0)


try:
    main()
except Exception as e:  # noqa: BLE001 - any error fails the check
    failures.append("%s: %s" % (type(e).__name__, e))

print("boot check: %d ok, %d failed" % (passes, len(failures)))
for f in failures:
    print("FAILED   " + f)
try:
    gdb.execute("kill", to_string=True)
except gdb.error:
    pass
gdb.execute("quit %d" % (1 if failures else 0))
