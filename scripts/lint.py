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

Results are kept in BUILD_DIR/lint so that a second run only analyses what
changed: clang-tidy's findings per source under a key made of the tool's
version, the checks, this script, the compile command, and the contents of
the source and of every header it includes (from ninja's dependency log of
the build, or from the compiler's -M where the source was not built: a new
header that shadows an old one shows there once the build has seen it);
cppcheck keeps its own per-file results in its build directory.
Paths in the key count from the source tree, so LINT_CACHE_DIR can hold the
results for several clones. --no-cache analyses everything.
"""
import argparse
import collections
import concurrent.futures
import fcntl
import hashlib
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
    return kept, originals, roots


# Changes with anything in this script that changes what clang-tidy reports
# for one command (the flags and checks it is given are part of the key).
CACHE_FORMAT = "2"


class TidyCache:
    """clang-tidy findings per source, keyed on everything that decides them."""

    def __init__(self, cache_dir, checks_note):
        self.dir = cache_dir
        os.makedirs(cache_dir, exist_ok=True)
        self.file_hashes = {}
        self.deps = {}
        self.hits = 0
        version = subprocess.run(["clang-tidy", "--version"], stdout=subprocess.PIPE, text=True).stdout
        base = hashlib.sha256()
        # What a source includes is in its key (the compiler's dependency
        # list), so a file added elsewhere in the tree leaves it alone.
        for part in (version, checks_note, CACHE_FORMAT, self.content(os.path.join(ROOT, ".clang-tidy"))):
            base.update(part.encode() if isinstance(part, str) else part)
            base.update(b"\0")
        self.base = base.hexdigest()

    def content(self, path):
        h = self.file_hashes.get(path)
        if h is None:
            try:
                with open(path, "rb") as f:
                    h = hashlib.sha256(f.read()).hexdigest()
            except OSError:
                h = "missing"
            self.file_hashes[path] = h
        return h

    def load_ninja_deps(self, build_dir):
        """Header lists of the objects ninja built and whose log is current."""
        run = subprocess.run(["ninja", "-C", build_dir, "-t", "deps"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        current = None
        for line in run.stdout.splitlines():
            if line and not line[0].isspace():
                out, _, state = line.partition(": #deps")
                current = os.path.normpath(os.path.join(build_dir, out)) if "(VALID)" in state else None
                if current:
                    self.deps[current] = []
            elif current and line.strip():
                self.deps[current].append(os.path.normpath(os.path.join(build_dir, line.strip())))

    @staticmethod
    def compiler_deps(entry):
        """The headers a source includes, from the compiler's preprocessor."""
        args, skip = [], False
        for a in entry["arguments"]:
            if skip:
                skip = False
            elif a in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
            elif a not in ("-c", "-MD", "-MMD"):
                args.append(a)
        run = subprocess.run(args + ["-M"], cwd=entry["directory"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        if run.returncode != 0:
            return None
        words = run.stdout.replace("\\\n", " ").split()[1:]
        return [os.path.normpath(os.path.join(entry["directory"], w)) for w in words]

    def sources_of(self, original):
        """The source and every header it includes, or None when unknown."""
        out = original.get("output")
        deps = self.deps.get(os.path.normpath(os.path.join(original["directory"], out))) if out else None
        if deps is None:
            deps = self.compiler_deps(original if "arguments" in original else
                                      dict(original, arguments=shlex.split(original["command"])))
        return deps

    def key(self, entry, original, checks, deps):
        if deps is None:
            return None
        # Paths count from the source tree, so that a clone's results serve another clone.
        def rel(text):
            return text.replace(ROOT + "/", "").replace(re.escape(ROOT) + "/", "")

        h = hashlib.sha256((self.base + "\0" + rel(str(checks)) + "\0" + rel(json.dumps(entry["arguments"]))).encode())
        for d in sorted(set(deps + [entry["file"]]), key=rel):
            h.update((rel(d) + "\0" + self.content(d) + "\0").encode())
        return h.hexdigest()

    def get(self, key):
        try:
            with open(os.path.join(self.dir, key + ".json")) as f:
                found = [tuple(x) for x in json.load(f)]
            self.hits += 1
            return found
        except (OSError, ValueError):
            return None

    def put(self, key, found):
        tmp = os.path.join(self.dir, key + ".tmp")
        with open(tmp, "w") as f:
            json.dump(found, f)
        os.replace(tmp, os.path.join(self.dir, key + ".json"))


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


def parse_cost(deps):
    """Bytes the compiler reads for a source: how long clang-tidy takes on it."""
    total = 0
    for d in deps or ():
        try:
            total += os.path.getsize(d)
        except OSError:
            pass
    return total


def run_tidy(work, roots, jobs, cache):
    """work: (compile database directory, entry, original entry, extra checks)."""
    hfilter = header_filter(roots)

    def look_up(w):
        db_dir, entry, original, checks = w
        deps = cache.sources_of(original) if cache else None
        key = cache.key(entry, original, f"{checks}\0{hfilter}", deps) if cache else None
        return key, (cache.get(key) if key else None), parse_cost(deps)

    def analyse(item):
        (db_dir, entry, _, checks), key = item
        found = [(f[0], f[1], f[2], f[3], str(f[4])) for f in tidy_one(db_dir, entry["file"], hfilter, checks)]
        # A run that failed is not kept: it says nothing about the source.
        if key and not any(f[3] == "clang-tidy-failed" for f in found):
            cache.put(key, found)
        return found

    findings = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        looked = list(pool.map(look_up, work))
        todo = []
        for w, (key, found, cost) in zip(work, looked):
            if found is None:
                todo.append((cost, (w, key)))
            else:
                findings.update(tuple(f) for f in found)
        # The heaviest sources first, so that no long one is left alone at the end.
        todo.sort(key=lambda t: -t[0])
        for found in pool.map(analyse, [item for _, item in todo]):
            findings.update(tuple(f) for f in found)
    return sorted(findings)


def start_cppcheck(db_dir, jobs, cache):
    cmd = ["cppcheck", "--project=" + os.path.join(db_dir, "cppcheck.json"),
           "--enable=warning,style,performance,portability", "--inline-suppr",
           "--suppressions-list=" + os.path.join(ROOT, "scripts", "cppcheck-suppressions.txt"),
           "--std=c++20", "--quiet", "-j", str(jobs),
           "--template={file}:{line}:{column}: {severity}: {message} [{id}]"]
    if cache:
        os.makedirs(os.path.join(db_dir, "cppcheck-build"), exist_ok=True)
        cmd.append("--cppcheck-build-dir=" + os.path.join(db_dir, "cppcheck-build"))
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish_cppcheck(proc):
    stdout, stderr = proc.communicate()
    findings = set()
    for line in stderr.splitlines():
        m = re.match(r"^(?P<file>[^:]+):(?P<line>\d+):(?P<col>\d+): \w+: (?P<text>.*) \[(?P<check>[^\]]+)\]$", line)
        if m:
            findings.add((os.path.relpath(m["file"], ROOT), int(m["line"]), int(m["col"]), m["check"], m["text"]))
        elif line.strip():
            findings.add(("cppcheck", 0, 0, "cppcheck-output", line.strip()))
    if proc.returncode != 0 and not findings:
        findings.add(("cppcheck", 0, 0, "cppcheck-failed", stdout.strip()))
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
    ap.add_argument("--no-cache", action="store_true", help="analyse every source again")
    args = ap.parse_args()

    db_dir = os.path.join(args.build_dir, "lint")
    os.makedirs(db_dir, exist_ok=True)
    # One run at a time per build tree (`make lint` beside the lint test):
    # the second waits and reads the first one's results back.
    lock = open(os.path.join(db_dir, "lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    entries, originals, roots = select(args.build_dir, args.paths, db_dir)
    if not entries:
        print("lint: no sources under " + " ".join(args.paths), file=sys.stderr)
        return 1
    work = [(db_dir, e, o, None) for e, o in zip(entries, originals)]
    # LINT_CACHE_DIR shares the results between clones, as ccache does objects.
    cache_dir = os.environ.get("LINT_CACHE_DIR") or os.path.join(db_dir, "tidy-cache")
    cache = None if args.no_cache else TidyCache(cache_dir, ARM_CHECKS + GCC_ONLY.pattern)
    if cache:
        cache.load_ninja_deps(args.build_dir)
    arm_note = ""
    if args.arm and os.path.exists(os.path.join(args.arm, "compile_commands.json")):
        arm_dir = os.path.join(args.arm, "lint")
        arm_entries, arm_originals, _ = select(args.arm, [p for p in args.paths if p.split("/")[0] == "firmware"],
                                               arm_dir, cross=True)
        work += [(arm_dir, e, o, ARM_CHECKS) for e, o in zip(arm_entries, arm_originals)]
        if cache:
            cache.load_ninja_deps(args.arm)
        arm_note = f", {len(arm_entries)} with the board's flags"
    print(f"lint: {len(entries)} sources under {' '.join(args.paths)}{arm_note}")
    total = 0
    start = time.monotonic()
    # cppcheck takes one core beside clang-tidy's jobs: it is done long before
    # the heaviest sources are, and the cores stay busy to the end.
    cppcheck = start_cppcheck(db_dir, 1, cache is not None) if args.only in (None, "cppcheck") else None
    if args.only in (None, "clang-tidy"):
        found = run_tidy(work, roots, args.jobs, cache)
        report("clang-tidy", found, time.monotonic() - start)
        if cache:
            print(f"clang-tidy: {cache.hits} of {len(work)} sources unchanged since an earlier run")
        total += len(found)
    if cppcheck:
        found = finish_cppcheck(cppcheck)
        report("cppcheck", found, time.monotonic() - start)
        total += len(found)
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
