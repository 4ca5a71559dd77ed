#!/usr/bin/env bash
# Four shards of a grid, run through GNU parallel's local mode and merged,
# give exactly what one unsharded run gives: the ranked table (with the
# refinement merge runs from the merged grid) and the results file.
# usage: shards_match.sh PROGRAM WORK_DIR [OBJECTIVE OPTION...]
# The objective's options go to every run and to the merge; GRID and REFINE
# (each a list of options) replace the grid and the refinement.
set -euo pipefail
prog=$1
dir=$2
shift 2
objective=("$@")
rm -rf "$dir"
mkdir -p "$dir"
read -r -a grid <<<"${GRID:---kp 0.05:3 --ki 0:0.5 --kd 0:0.4 --points 5,4,5}"
read -r -a refine <<<"${REFINE:---starts 3 --refine-trials 25 --seed 7}"
refine+=(-q "${objective[@]}")

"$prog" "${grid[@]}" "${refine[@]}" --jobs 2 --results "$dir/whole.tsv" >"$dir/whole.txt"
# parallel keeps its notes under $HOME.
HOME=$dir parallel --will-cite -j4 "$prog" "${grid[@]}" "${objective[@]}" -q --jobs 1 --shard {}/4 --results "$dir/shard{}.tsv" \
  ::: 1 2 3 4 >"$dir/shards.txt"
"$prog" merge "$dir"/shard{1,2,3,4}.tsv "${refine[@]}" --jobs 2 --results "$dir/merged.tsv" >"$dir/merged.txt"

cmp "$dir/whole.tsv" "$dir/merged.tsv"
cmp "$dir/whole.txt" "$dir/merged.txt"
grep -q "refined from grid" "$dir/whole.txt" || { echo "no refined row in the table"; exit 1; }
echo "4 shards through GNU parallel, merged: the same table and results as one run"
