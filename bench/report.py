"""The bench table from the RESULT lines of repeated runs (see BenchReport.h)."""
import operator
import re
import statistics
import sys

COMPARE = {">=": operator.ge, ">": operator.gt, "<=": operator.le, "<": operator.lt}
TARGET = re.compile(r"^\s*(value\s+)?(>=|<=|>|<)\s*([0-9.]+)")


def fmt(x):
    return f"{x:,.0f}" if abs(x) >= 100 else f"{x:.3g}"


def spread(values, show=fmt):
    if len(values) == 1:
        return show(values[0])
    return f"{show(statistics.median(values))} [{show(min(values))}, {show(max(values))}]"


def verdict(target, values, ratios):
    match = TARGET.match(target)
    if not match:
        return "-"
    on_value, op, bound = match.group(1), match.group(2), float(match.group(3))
    checked = values if on_value else ratios
    met = [COMPARE[op](x, bound) for x in checked]
    if all(met):
        return "met"
    if not any(met):
        return "MISSED"
    return f"spread crosses the target ({sum(met)} of {len(met)} runs met it)"


def main(path):
    rows, order = {}, []
    for line in open(path):
        parts = line.rstrip("\n").split("|")
        if len(parts) != 8:
            continue
        _, figure, value, unit, ref, refvalue, ratio, target = parts
        if figure not in rows:
            rows[figure] = {"unit": unit, "ref": ref, "target": target, "v": [], "r": [], "q": []}
            order.append(figure)
        row = rows[figure]
        row["v"].append(float(value))
        row["r"].append(float(refvalue))
        row["q"].append(float(ratio))
    print()
    print("| figure | value: median [min, max] | reference | reference value | ratio | target | runs |")
    print("|---|---|---|---|---|---|---|")
    for figure in order:
        r = rows[figure]
        unit = r["unit"]
        plain = r["ref"] == "-"
        refcell = "-" if plain else spread(r["r"]) + " " + unit
        ratio = "-" if plain else spread(r["q"], lambda x: f"{x:.2f}")
        print(f"| {figure} | {spread(r['v'])} {unit} | {r['ref']} | {refcell} | {ratio} | {r['target']} "
              f"| {len(r['v'])}: {verdict(r['target'], r['v'], r['q'])} |")


if __name__ == "__main__":
    main(sys.argv[1])
