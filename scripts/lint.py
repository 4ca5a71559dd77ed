#!/usr/bin/env python3
"""Static analysis of the sources: clang-tidy and cppcheck, both must be clean.

usage: lint.py BUILD_DIR PATH... [--arm ARM_BUILD_DIR] [--jobs N]

Takes the compile commands of a configured host build (nothing needs to be
built), keeps the sources under the given paths (relative to the source
tree) and runs both tools on them. With --arm, clang-tidy also reads the
firmware sources with the board's flags (the Cortex-M4 target and the
toolchain's own headers), which adds the board's port layer. Findings in headers under those paths are
reported once, however many sources include them. Prints the findings and a
count per tool and check; exits 1 when there is any finding.

The checks and the patterns silenced on purpose are in .clang-tidy and
scripts/cppcheck-suppressions.txt, each with its reason.
"""
import argparse
import collections
import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# GCC-only arguments that clang does not know; they change nothing the tools see.
GCC_ONLY = re.compile(r"^(--param=.*|-fstack-usage|-fcallgraph-info.*|-fno-use-cxa-atexit)$")

FINDING = re.compile(r"^(?P<file>[^:\s]+):(?P<line>\d+):(?P<col>\d+): (?P<kind>warning|error): (?P<text>.*?) \[(?P<check>[^\]]+)\]$")


def toolchain_includes(compiler, args):
    """The system include directories of a cross compiler, for its flags."""
    flags = [a for a in args if a.startswith(("-mcpu", "-mthumb", "-mfpu", "-mfloat-abi"))]
    out = subprocess.run([compiler, "-xc++", "-E", "-v", "/dev/null"] + flags,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    dirs, inside = [], False
    for line in out.splitlines():
        if line.startswith("#include <"):
            inside = True
        elif line.startswith("End of search list"):
            break
        elif inside:
            dirs.append(os.path.normpath(line.strip()))
    return dirs


def select(build_dir, paths, out_dir, cross=False):
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        entries = json.load(f)
    roots = [os.path.join(ROOT, p.rstrip("/")) for p in paths]

    def wanted(path):
        return any(path == r or path.startswith(r + "/") for r in roots)

    kept, originals, seen, includes = [], [], set(), None
    for e in entries:
        path = os.path.normpath(os.path.join(e["directory"], e["file"]))
        if not wanted(path) or path in seen:
            continue
        seen.add(path)
        originals.append(e)
        args = e["arguments"] if "arguments" in e else shlex.split(e["command"])
        args = [a for a in args if not GCC_ONLY.match(a)]
        if cross:
            # The target follows from the compiler's name; its headers are the toolchain's.
            if includes is None:
                includes = toolchain_includes(args[0], args)
            target = os.path.basename(args[0]).rsplit("-", 1)[0]
            args = ([args[0], "--target=" + target, "-nostdinc"]
                    + [x for d in includes for x in ("-isystem", d)] + args[1:])
        e = dict(e, file=path, arguments=args)
        e.pop("command", None)
        kept.append(e)
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "compile_commands.json"), "w") as f:
        json.dump(kept, f, indent=1)
    # cppcheck reads the commands as the build wrote them (it unquotes -D values itself).
    with open(os.path.join(out_dir, "cppcheck.json"), "w") as f:
        json.dump(originals, f, indent=1)
    return kept, roots


def header_filter(roots):
    return "^(" + "|".join(re.escape(r) + "/" for r in roots) + ")"


# Off for the board's reading only (the host reading keeps them):
# performance-no-int-to-ptr: the board's port layer makes register addresses
#   into pointers; that is how registers are reached.
# bugprone-dynamic-static-initializers: for the Cortex-M4 target clang-tidy 14
#   flags every extern declaration of a firmware global in a header.
ARM_CHECKS = "-performance-no-int-to-ptr,-bugprone-dynamic-static-initializers"


def tidy_one(db_dir, source, hfilter, checks=None):
    cmd = ["clang-tidy", "-p", db_dir, "--quiet", "--header-filter=" + hfilter, source]
    if checks:
        cmd.insert(1, "--checks=" + checks)
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    found = []
    for line in run.stdout.splitlines():
        m = FINDING.match(line)
        if m:
            found.append((os.path.relpath(m["file"], ROOT), int(m["line"]), int(m["col"]),
                          m["check"], m["text"]))
    if run.returncode != 0 and not found:
        found.append((os.path.relpath(source, ROOT), 0, 0, "clang-tidy-failed",
                      (run.stderr or run.stdout).strip().splitlines()[-1:]))
    return found


def run_tidy(work, roots, jobs):
    """work: (compile database directory, entry, extra checks) triples."""
    hfilter = header_filter(roots)
    findings = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        for found in pool.map(lambda w: tidy_one(w[0], w[1]["file"], hfilter, w[2]), work):
            findings.update((f[0], f[1], f[2], f[3], str(f[4])) for f in found)
    return sorted(findings)


def run_cppcheck(db_dir, jobs):
    cmd = ["cppcheck", "--project=" + os.path.join(db_dir, "cppcheck.json"),
           "--enable=warning,style,performance,portability", "--inline-suppr",
           "--suppressions-list=" + os.path.join(ROOT, "scripts", "cppcheck-suppressions.txt"),
           "--std=c++20", "--quiet", "-j", str(jobs),
           "--template={file}:{line}:{column}: {severity}: {message} [{id}]"]
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    findings = set()
    for line in run.stderr.splitlines():
        m = re.match(r"^(?P<file>[^:]+):(?P<line>\d+):(?P<col>\d+): \w+: (?P<text>.*) \[(?P<check>[^\]]+)\]$", line)
        if m:
            findings.add((os.path.relpath(m["file"], ROOT), int(m["line"]), int(m["col"]), m["check"], m["text"]))
        elif line.strip():
            findings.add(("cppcheck", 0, 0, "cppcheck-output", line.strip()))
    if run.returncode != 0 and not findings:
        findings.add(("cppcheck", 0, 0, "cppcheck-failed", run.stdout.strip()))
    return sorted(findings)


def report(tool, findings, seconds):
    for f in findings:
        print(f"{f[0]}:{f[1]}:{f[2]}: {f[4]} [{f[3]}]")
    counts = collections.Counter(f[3] for f in findings)
    print(f"{tool}: {len(findings)} finding(s) in {seconds:.0f} s"
          + "".join(f"\n  {n:4d} {c}" for c, n in counts.most_common()))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build_dir")
    ap.add_argument("paths", nargs="+")
    ap.add_argument("--arm", metavar="ARM_BUILD_DIR", help="also the firmware with the board's flags")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--only", choices=["clang-tidy", "cppcheck"])
    args = ap.parse_args()

    db_dir = os.path.join(args.build_dir, "lint")
    entries, roots = select(args.build_dir, args.paths, db_dir)
    if not entries:
        print("lint: no sources under " + " ".join(args.paths), file=sys.stderr)
        return 1
    work = [(db_dir, e, None) for e in entries]
    arm_note = ""
    if args.arm and os.path.exists(os.path.join(args.arm, "compile_commands.json")):
        arm_dir = os.path.join(args.arm, "lint")
        arm_entries, _ = select(args.arm, [p for p in args.paths if p.split("/")[0] == "firmware"], arm_dir,
                                cross=True)
        work += [(arm_dir, e, ARM_CHECKS) for e in arm_entries]
        arm_note = f", {len(arm_entries)} with the board's flags"
    print(f"lint: {len(entries)} sources under {' '.join(args.paths)}{arm_note}")
    total = 0
    if args.only in (None, "clang-tidy"):
        start = time.monotonic()
        found = run_tidy(work, roots, args.jobs)
        report("clang-tidy", found, time.monotonic() - start)
        total += len(found)
    if args.only in (None, "cppcheck"):
        start = time.monotonic()
        found = run_cppcheck(db_dir, args.jobs)
        report("cppcheck", found, time.monotonic() - start)
        total += len(found)
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
