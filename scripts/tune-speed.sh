#!/usr/bin/env bash
# Candidates per second of vboard-tune's grid on the default objective, with
# 1 worker and with JOBS workers, run alternately ROUNDS times so that a busy
# machine's load falls on both alike. Prints each run's rate, then per
# configuration the median and the range, and the ratio of the medians.
# No refinement (--starts 0): every candidate is a grid point, all in
# parallel. Extra options go to every run (e.g. --points 8, --robust).
#
#   scripts/tune-speed.sh [VBOARD_TUNE [ROUNDS [JOBS [OPTION...]]]]
set -euo pipefail
prog=${1:-build/host/host/programs/vboard-tune}
rounds=${2:-5}
jobs=${3:-2}
shift $(($# < 3 ? $# : 3))

rate() {  # JOBS OPTION...: the rate from the program's last line on stderr
  local j=$1
  shift
  "$prog" -q --starts 0 --jobs "$j" "$@" 2>&1 >/dev/null | sed -n 's/.*: \([0-9.]*\) per second.*/\1/p'
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
one=() many=()
for ((r = 1; r <= rounds; r++)); do
  one+=("$(rate 1 "$@")")
  many+=("$(rate "$jobs" "$@")")
  echo "round $r: 1 job ${one[-1]}/s, $jobs jobs ${many[-1]}/s"
done
printf '%s\n' "${one[@]}" >"$work/one"
printf '%s\n' "${many[@]}" >"$work/many"
python3 - "$jobs" "$work/one" "$work/many" <<'PY'
import statistics, sys
jobs = sys.argv[1]
one, many = ([float(x) for x in open(p)] for p in sys.argv[2:4])
for name, v in (("1 job", one), (jobs + " jobs", many)):
    print(f"{name}: median {statistics.median(v):.1f} candidates/s (from {min(v):.1f} to {max(v):.1f}, {len(v)} runs)")
print(f"ratio of the medians: {statistics.median(many) / statistics.median(one):.2f}")
PY
