#!/usr/bin/env bash
# Runs every benchmark program RUNS times (default 3) and prints one table:
# for each figure the median and, in brackets, the smallest and largest of
# the runs, of the figure, of its reference (measured in the same run) and of
# their ratio (higher is better). The last column says whether the target
# was met in every run, in none, or only in some: then the spread crosses it
# and the figure is not to be trusted either way.
#   bench/run_all.sh BUILD_DIR [RUNS] [PROGRAM...]   (programs by name, e.g. init_bench; default all)
set -euo pipefail
build_dir=$(cd "$1" && pwd); runs="${2:-3}"; shift $(( $# < 2 ? $# : 2 ))
results=$(mktemp); log=$(mktemp)
trap 'rm -f "$results" "$log"' EXIT

programs=()
if [ $# -gt 0 ]; then
  for name in "$@"; do programs+=("$build_dir/bench/$name"); done
else
  programs=("$build_dir"/bench/*_bench)
fi

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo "qvim benchmarks, $(date -u +%Y-%m-%d), $(nproc) cores ($cpu), $runs runs each"
for program in "${programs[@]}"; do
  [ -x "$program" ] || continue
  for _ in $(seq "$runs"); do
    # Figures come on stderr; the library's diagnostic lines on stdout are dropped.
    status=0
    (cd "$build_dir" && "$program" 2>"$log" >/dev/null) || status=$?
    grep '^RESULT|' "$log" >>"$results" || true
    if [ "$status" -ne 0 ]; then
      echo "$(basename "$program") exited with status $status:" >&2
      grep -v '^RESULT|' "$log" | tail -n 5 >&2 || true
    fi
  done
done

python3 "$(dirname "$0")/report.py" "$results"
