#!/usr/bin/env bash
# Compares what two builds of vboard-run print, byte for byte: every shipped
# scenario (stdout with every event, and the CSV) and a few command-line runs
# that reach the paths the scenarios do not (serial flood, no sensor, bad
# parity). The wall-time line of the summary is the only one left out.
# A change that must not alter the board's behaviour passes with
# "all N runs identical".
#
#   scripts/compare-runs.sh REFERENCE/vboard-run NEW/vboard-run
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 REFERENCE_VBOARD_RUN NEW_VBOARD_RUN" >&2
  exit 2
fi
ref=$(realpath "$1")
new=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/ref" "$work/new"

runs=()
for s in "$root"/scenarios/*.toml; do runs+=("--scenario $s"); done
runs+=("--duration 2s --press up@500ms --flood 0.2s:1s"
       "--duration 1s --no-sensor"
       "--duration 1s --bad-parity --press down@300ms"
       "--duration 1500ms --crystal-fails --press up@400ms --hold 200ms"
       "--duration 2s --rotor-speed 720 --press up@1s")

failed=0
n=0
for args in "${runs[@]}"; do
  n=$((n + 1))
  for side in ref new; do
    bin=$ref
    [ "$side" = new ] && bin=$new
    # shellcheck disable=SC2086  # the arguments are split on purpose
    (cd "$work/$side" && "$bin" $args --verbose --csv run.csv > out 2>&1 || echo "exit $?" >> out)
    sed -i -e 's/ in [0-9.]* s of wall time ([0-9]* x real time)//' "$work/$side/out"
  done
  if cmp -s "$work/ref/out" "$work/new/out" && cmp -s "$work/ref/run.csv" "$work/new/run.csv"; then
    echo "identical  $args ($(wc -l < "$work/new/out") lines, $(wc -l < "$work/new/run.csv") CSV rows)"
  else
    failed=$((failed + 1))
    echo "DIFFERENT  $args"
    diff "$work/ref/out" "$work/new/out" | head -10 || true
    diff "$work/ref/run.csv" "$work/new/run.csv" | head -6 || true
  fi
done
if [ "$failed" -eq 0 ]; then
  echo "all $n runs identical"
else
  echo "$failed of $n runs differ"
  exit 1
fi
