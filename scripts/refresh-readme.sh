#!/usr/bin/env bash
# The default run into the docs: its output into README.md's default-run
# block (which `make test` checks) and its picture into docs/default-run.png.
# `make readme-figures` builds the programs and runs this.
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/host/host/programs/vboard-run}
mkdir -p out
# Relative paths, as `make run` gives them: the picture's title shows the scenario's.
"$program" --scenario scenarios/default.toml --csv out/run.csv --plot out/run.png > out/run.txt
python3 tests/run/readme_run.py write README.md out/run.txt
cp out/run.png docs/default-run.png
echo "README.md: default-run block from out/run.txt; docs/default-run.png from out/run.png"
