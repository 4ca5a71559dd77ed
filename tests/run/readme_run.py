#!/usr/bin/env python3
"""The default run's output on the README's front page, kept true.

The block between <!-- default-run --> and <!-- /default-run --> holds what
`make run` prints.
  readme_run.py check PROGRAM SOURCE_DIR  runs PROGRAM as `make run` does, in
                                          a scratch folder, and fails with a
                                          diff when the block differs
  readme_run.py write README OUTPUT       puts OUTPUT (a run's stdout) there
The wall time and the speed against real time vary with the machine: they
are left out of the comparison.
"""
import difflib
import pathlib
import re
import subprocess
import sys
import tempfile

BEGIN = "<!-- default-run -->\n```\n"
END = "```\n<!-- /default-run -->"
BLOCK = re.compile(re.escape(BEGIN) + r"(.*?)" + re.escape(END), re.S)


def without_wall_time(text):
    text = re.sub(r"[0-9.]+ s of wall time", "_ s of wall time", text)
    return re.sub(r"\([0-9.]+ x real time\)", "(_ x real time)", text)


def block_of(readme):
    m = BLOCK.search(readme.read_text())
    if not m:
        sys.exit(f"{readme}: no default-run block")
    return m


def check(program, source_dir):
    source_dir = pathlib.Path(source_dir)
    with tempfile.TemporaryDirectory() as work:
        (pathlib.Path(work) / "out").mkdir()
        run = subprocess.run([program, "--scenario", str(source_dir / "scenarios/default.toml"),
                              "--csv", "out/run.csv", "--plot", "out/run.png"],
                             cwd=work, capture_output=True, text=True, timeout=120, check=False)
    if run.returncode != 0:
        sys.exit(f"{program} exited {run.returncode}:\n{run.stdout}{run.stderr}")
    shown = without_wall_time(block_of(source_dir / "README.md").group(1))
    printed = without_wall_time(run.stdout)
    if shown != printed:
        sys.stdout.writelines(difflib.unified_diff(shown.splitlines(True), printed.splitlines(True),
                                                   "README.md", "vboard-run"))
        sys.exit("README.md's default run differs from the program's: `make readme-figures` rewrites it")


def write(readme, output):
    readme = pathlib.Path(readme)
    text = readme.read_text()
    m = block_of(readme)
    readme.write_text(text[:m.start(1)] + pathlib.Path(output).read_text() + text[m.end(1):])


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "check":
        check(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "write":
        write(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
