"""Puts two builds of the module side by side: the version-specific one and the
stable-ABI one, each timed by bench.py in interleaved runs (scripts/bench.sh
--stable-abi), so that drift of the machine falls on both alike.

    python benchmarks/compare.py SPECIFIC.json... --stable-abi ABI3.json...
"""

import argparse
import json
import statistics


def load(paths):
    return [json.load(open(path, encoding="utf-8")) for path in paths]


def per_operation(runs, key):
    values = {}
    for run in runs:
        for row in run["table"]:
            if row[key] is not None:
                values.setdefault(row["operation"], []).append(row[key])
    return {operation: statistics.median(found) for operation, found in values.items()}


def fmt_ns(ns):
    for unit, scale in (("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("specific", nargs="+", help="bench.py results of the version-specific build")
    parser.add_argument("--stable-abi", nargs="+", required=True, help="bench.py results of the stable-ABI build")
    args = parser.parse_args()
    specific, abi3 = load(args.specific), load(args.stable_abi)

    times = [per_operation(runs, "vostral_median_ns") for runs in (specific, abi3)]
    ratios = [per_operation(runs, "ratio_to_floor") for runs in (specific, abi3)]
    targets = {row["operation"]: row["target"] for row in specific[0]["table"]}
    header = ["operation", "specific", "abi3", "abi3 ÷ specific", "target", "specific ÷ floor", "abi3 ÷ floor"]
    rows = []
    for operation in times[0]:
        if operation not in times[1] or operation.startswith("empty loop"):
            continue
        a, b = times[0][operation], times[1][operation]
        ra, rb = ratios[0].get(operation), ratios[1].get(operation)
        rows.append(
            [
                operation,
                fmt_ns(a),
                fmt_ns(b),
                f"{b / a:.2f}×",
                targets.get(operation) or "—",
                "—" if ra is None else f"{ra:.2f}×",
                "—" if rb is None else f"{rb:.2f}×",
            ]
        )
    print(
        f"medians of {len(specific)} + {len(abi3)} interleaved runs; "
        f"load average {specific[0]['load_start'][0]} at the start, {abi3[-1]['load_end'][0]} at the end"
    )
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths], *rows]:
        print(" | ".join(str(cell).ljust(width) for cell, width in zip(row, widths, strict=True)))

    counted = [next((run["callgrind"] for run in runs if run.get("callgrind")), None) for runs in (specific, abi3)]
    if all(counted):
        print("\ninstructions per call (callgrind; machine load does not move them)")
        for a, b in zip(counted[0]["calls"], counted[1]["calls"], strict=True):
            print(
                f"  {a['call']}: specific {a['vostral']:.0f}, abi3 {b['vostral']:.0f} ({b['vostral'] / a['vostral']:.2f}×), "
                f"floor {a['floor']:.0f}; ratio to floor {a['ratio']:.2f}× / {b['ratio']:.2f}×"
            )


if __name__ == "__main__":
    main()
