#!/usr/bin/env bash
# Runs every benchmark program RUNS times (default 3) and prints one table of
# medians: each figure, its reference measured in the same run, and the ratio
# (higher is better; the target column says what is aimed for).
set -euo pipefail
build_dir=$(cd "$1" && pwd); runs="${2:-3}"
results=$(mktemp); log=$(mktemp)
trap 'rm -f "$results" "$log"' EXIT

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo "qvim benchmarks, $(date -u +%Y-%m-%d), $(nproc) cores ($cpu), medians of $runs runs"
for program in "$build_dir"/bench/*_bench; do
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

python3 - "$results" <<'PY'
import statistics, sys
rows = {}
order = []
for line in open(sys.argv[1]):
    parts = line.rstrip("\n").split("|")
    if len(parts) != 8:
        continue
    _, figure, value, unit, ref, refvalue, ratio, target = parts
    if figure not in rows:
        rows[figure] = {"unit": unit, "ref": ref, "target": target, "v": [], "r": [], "q": []}
        order.append(figure)
    rows[figure]["v"].append(float(value))
    rows[figure]["r"].append(float(refvalue))
    rows[figure]["q"].append(float(ratio))
    rows[figure]["target"] = target
def fmt(x):
    return f"{x:,.0f}" if abs(x) >= 100 else f"{x:.3g}"
print()
print(f"| figure | value | reference | reference value | ratio | target |")
print(f"|---|---|---|---|---|---|")
for figure in order:
    r = rows[figure]
    v = statistics.median(r["v"]); rv = statistics.median(r["r"]); q = statistics.median(r["q"])
    refcell = "-" if r["ref"] == "-" else fmt(rv) + " " + r["unit"]
    ratio = "-" if r["ref"] == "-" else f"{q:.2f}"
    print(f"| {figure} | {fmt(v)} {r['unit']} | {r['ref']} | {refcell} | {ratio} | {r['target']} |")
PY
