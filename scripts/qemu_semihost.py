#!/usr/bin/env python3
"""Runs an image for the board on QEMU's STM32F405 machine (netduinoplus2)
and returns the status the image reports through semihosting.

The image's console text (semihosting SYS_WRITE0) is passed through to
stdout. Options let a test assert the exit status and lines of the output
(for the runner's own self-check) and capture what the image sends on
USART3 (the machine's third serial port)."""

import argparse
import os
import re
import subprocess
import sys
import tempfile

QEMU = "qemu-system-arm"


def qemu_command(elf, icount=False, serial3=None, extra=()):
    cmd = [QEMU, "-M", "netduinoplus2", "-nographic", "-monitor", "none",
           "-semihosting-config", "enable=on,target=native"]
    if serial3 is not None:
        # USART1 and USART2 to nowhere, USART3 to the given file.
        cmd += ["-serial", "null", "-serial", "null", "-serial", "file:" + serial3]
    else:
        cmd += ["-serial", "null"]
    if icount:
        # Virtual time follows the instruction count: 1 ns per instruction.
        cmd += ["-icount", "shift=0,align=off,sleep=off"]
    cmd += list(extra)
    cmd += ["-kernel", elf]
    return cmd


def run(elf, timeout, icount=False, serial3=None, extra=()):
    """Returns (status, text); status 124 when the image did not end in time."""
    cmd = qemu_command(elf, icount, serial3, extra)
    try:
        done = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        text = (e.stdout or b"").decode("utf-8", "replace")
        return 124, text + "\n[qemu] no exit after %s s: the image hangs (a fault handler, or a wait for hardware the emulator does not model)\n" % timeout
    return done.returncode, done.stdout.decode("utf-8", "replace")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("elf")
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("--icount", action="store_true")
    parser.add_argument("--serial3", help="file that receives the bytes sent on USART3")
    parser.add_argument("--expect-exit", type=int, default=0,
                        help="exit status the image must report (default 0)")
    parser.add_argument("--expect-line", action="append", default=[],
                        help="regular expression that some output line must match (repeatable)")
    parser.add_argument("--wire", action="store_true",
                        help="USART3 must carry exactly the bytes of the image's WIRE lines, in order")
    args = parser.parse_args()

    serial3 = args.serial3
    scratch = None
    if args.wire and serial3 is None:
        scratch = tempfile.NamedTemporaryFile(prefix="usart3-", suffix=".bin", delete=False)
        scratch.close()
        serial3 = scratch.name
    status, text = run(args.elf, args.timeout, args.icount, serial3)
    sys.stdout.write(text)
    failures = []
    if status != args.expect_exit:
        failures.append("exit status %d, expected %d" % (status, args.expect_exit))
    lines = text.splitlines()
    for pattern in args.expect_line:
        if not any(re.search(pattern, line) for line in lines):
            failures.append("no output line matches: %s" % pattern)
    if args.wire:
        want = bytes(int(x, 16) for line in lines if line.startswith("WIRE ") for x in line.split()[1:])
        with open(serial3, "rb") as f:
            got = f.read()
        if scratch is not None:
            os.unlink(scratch.name)
        if got != want:
            at = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), min(len(got), len(want)))
            failures.append("USART3 sent %d bytes, expected %d; first difference at byte %d: got %s want %s"
                            % (len(got), len(want), at, got[at:at + 8].hex(" "), want[at:at + 8].hex(" ")))
        elif not want:
            failures.append("no WIRE lines in the output")
        else:
            print("[check] USART3 carried the %d expected bytes and nothing else" % len(got))
    for f in failures:
        print("[check] " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
