"""Times vostral against the floor of each call shape and the plain Python baseline.

Run with the build directory (vostral and vostral_floor) and tests/ (the plain
Python model, reference.py) on PYTHONPATH; scripts/bench.sh does that. See benchmarks/README.md for the columns.
"""

import argparse
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field

from reference import ReferenceTarnel, solved_board
from vostral import TarnelCore
from vostral_floor import Floor, Game

TEXT_LENGTH = 1_000_000


def random_text(length, seed):
    rng = random.Random(seed)
    return "".join(rng.choices("udlrUDLR", k=length))


def loadavg():
    with open("/proc/loadavg") as f:
        return f.read().split()[:3]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fmt_ns(ns):
    if ns is None:
        return "—"
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def fmt_times(ratio):
    return "—" if ratio is None else f"{ratio:,.0f}×" if ratio >= 10 else f"{ratio:.2f}×"


# ---------------------------------------------------------------- timing core


@dataclass
class Variant:
    """One side of a comparison: `stmt` timed in a timeit loop, `setup` untimed.

    `make` returns fresh globals for each sample (so every sample starts from
    the same state), `per` is how many operations one `stmt` does, `number` is
    loops per sample (None: calibrated), `check` validates the state afterwards
    and `once` measures only in the first run (for very slow baselines).
    """

    make: object
    stmt: str
    setup: str = "pass"
    per: int = 1
    number: int = None
    check: object = None
    once: bool = False


def sample_ns(variant, number):
    """Total ns of `number` loops of the variant, retried while its check fails."""
    for _ in range(20):
        env = variant.make()
        total = timeit.Timer(variant.stmt, variant.setup, time.perf_counter_ns, env).timeit(number)
        if variant.check is None or variant.check(env):
            return total
    raise RuntimeError(f"the check kept failing for {variant.stmt!r}")


def calibrate(variant, budget_ns):
    if variant.number is not None:
        return variant.number
    number = 1
    while (total := sample_ns(variant, number)) < budget_ns / 10:
        number *= 10
    return max(1, round(number * budget_ns / max(total, 1)))


def per_op(variant, number, repeats):
    return [sample_ns(variant, number) / (number * variant.per) for _ in range(repeats)]


@dataclass
class Op:
    name: str
    variants: dict  # "vostral" / "floor" / "reference" -> Variant
    target: tuple = None  # ("ratio", limit) against the floor, or ("ns", limit)
    samples: dict = field(default_factory=dict)  # variant -> list of run medians
    best: dict = field(default_factory=dict)


# ---------------------------------------------------------------- operations


def classes():
    return {"TarnelCore": TarnelCore, "Floor": Floor, "Game": Game, "ReferenceTarnel": ReferenceTarnel}


def moved_game(n):
    """A game whose gap is off the top row, so an alternating U, D pair both move."""
    game = TarnelCore(n)
    game.move_tile("D")
    game.move_sequence("")
    return game


def sequence_variant(cls_new, n, text_box, prefix=None):
    def make():
        text = text_box[n] if prefix is None else text_box[n][:prefix]
        return {"g": cls_new(n), "text": text}

    def check(env):
        # Stopping early (the walk solved the board) would time a shorter text.
        if len(env["g"].get_cmds_str()) == len(env["text"]):
            return True
        text_box[n] = random_text(TEXT_LENGTH, random.getrandbits(32))
        return False

    per = TEXT_LENGTH if prefix is None else prefix
    return Variant(make, "f(text)", "f = g.move_sequence", per=per, number=1, check=check)


def build_ops(quick):
    game4 = moved_game(4)
    ref4 = ReferenceTarnel.from_state(game4.get_tarnel())
    ref_board = {n: ReferenceTarnel(n).get_tarnel() for n in (4, 100)}
    texts = {n: random_text(TEXT_LENGTH, n) for n in (4, 100)}
    floor = {n: Floor(n) for n in (4, 100, 1000)}
    games = {n: TarnelCore(n) for n in (4, 100, 1000)}
    refs = {
        4: ref4,
        100: ReferenceTarnel.from_state(ref_board[100]),
        1000: ReferenceTarnel.from_state(solved_board(1000)),
    }
    pair, pair_kw = "m('U'); m('D')", "m(direction='U'); m(direction='D')"
    # Each sample starts from an empty log, so the log's growth costs every sample the same.
    reset = "g.move_sequence(''); m = g.move_tile"
    ops = [Op("empty loop (per iteration)", {"vostral": Variant(dict, "pass")})]
    for label, stmt in (("move_tile('U')", pair), ("move_tile(direction='U')", pair_kw)):
        ops.append(
            Op(
                label,
                {
                    "vostral": Variant(lambda: {"g": game4}, stmt, reset, per=2),
                    "floor": Variant(lambda: {"f": floor[4]}, stmt, "m = f.one_letter", per=2),
                    "reference": Variant(lambda: {"g": ref4}, stmt, reset, per=2, number=2000),
                },
                ("ratio", 1.5),
            )
        )
    for label, method, floor_method, limit in (
        ("get_mode()", "get_mode", "int", 1.3),
        ("duration()", "duration", "short_text", 1.5),
        ("get_cmds_str() (1000 letters)", "get_cmds_str", "text", 1.5),
    ):
        ops.append(
            Op(
                label,
                {
                    "vostral": Variant(lambda: {"g": games[4]}, "m()", f"m = g.{method}"),
                    "floor": Variant(lambda: {"f": floor[4]}, "m()", f"m = f.{floor_method}"),
                    "reference": Variant(
                        lambda: {"g": ReferenceTarnel.from_state(ref_board[4], "U" * 1000)}, "m()", f"m = g.{method}"
                    ),
                },
                ("ratio", limit),
            )
        )
    for n in (4, 100):
        ops.append(
            Op(
                f"move_sequence n={n} (per char)",
                {
                    "vostral": sequence_variant(TarnelCore, n, texts),
                    "floor": Variant(
                        lambda n=n: {"f": floor[4], "text": texts[n]}, "m(text)", "m = f.read_text", per=TEXT_LENGTH
                    ),
                    "reference": sequence_variant(
                        lambda n: ReferenceTarnel.from_state(ref_board[n]), n, texts, prefix=20_000 if n == 4 else 100
                    ),
                },
                ("ns", 2.0),
            )
        )
    # Creation's floor is the plain loop of the same work (floor/plain_game.hpp):
    # both boards, the clock, 1000 random moves logged.
    for n, limit in ((4, 1.2), (100, None), (1000, 1.3)):
        ops.append(
            Op(
                f"TarnelCore({n})",
                {
                    "vostral": Variant(classes, f"new({n})", "new = TarnelCore"),
                    "floor": Variant(classes, f"new({n})", "new = Game"),
                    "reference": (
                        None
                        if quick and n == 1000
                        else Variant(
                            classes, f"new({n})", "new = ReferenceTarnel", number=1 if n > 4 else 50, once=n == 1000
                        )
                    ),
                },
                limit and ("ratio", limit),
            )
        )
    for n in (4, 100, 1000):
        ops.append(
            Op(
                f"get_tarnel() n={n}",
                {
                    "vostral": Variant(lambda n=n: {"g": games[n]}, "m()", "m = g.get_tarnel"),
                    "floor": Variant(lambda n=n: {"f": floor[n]}, "m()", "m = f.lists"),
                    "reference": Variant(
                        lambda n=n: {"g": refs[n]}, "m()", "m = g.get_tarnel", number={4: 20_000, 100: 50, 1000: 1}[n]
                    ),
                },
                ("ratio", 1.2),
            )
        )
    return ops


def run_table(ops, runs, repeats, budget_ns):
    numbers = {}
    for run in range(runs):
        for op in ops:
            for name, variant in op.variants.items():
                if variant is None or (variant.once and run > 0):
                    continue
                if (op.name, name) not in numbers:
                    numbers[op.name, name] = calibrate(variant, budget_ns)
                reps = 1 if variant.once else repeats if name != "reference" else max(1, repeats // 2)
                values = per_op(variant, numbers[op.name, name], reps)
                op.samples.setdefault(name, []).append(statistics.median(values))
                op.best[name] = min(op.best.get(name, float("inf")), *values)
        print(f"  run {run + 1}/{runs} done, load {' '.join(loadavg())}", file=sys.stderr)


def summarise(op):
    med = {name: statistics.median(v) for name, v in op.samples.items()}
    v, fl, ref = med.get("vostral"), med.get("floor"), med.get("reference")
    floor_ratio = None
    if fl is not None and (op.target is None or op.target[0] == "ratio"):
        # The ratio of the two medians shown, so that the columns agree.
        floor_ratio = v / fl
    met = None
    if op.target:
        kind, limit = op.target
        met = (floor_ratio if kind == "ratio" else v) <= limit
    return {
        "operation": op.name,
        "vostral_median_ns": v,
        "vostral_best_ns": op.best.get("vostral"),
        "floor_median_ns": fl,
        "ratio_to_floor": floor_ratio,
        "reference_median_ns": ref,
        "speedup_vs_reference": ref / v if ref and v else None,
        "target": None
        if not op.target
        else (f"≤{op.target[1]}×" if op.target[0] == "ratio" else f"≤{op.target[1]} ns"),
        "met": met,
    }


def print_table(headers, rows):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]

    def line(cells):
        return " | ".join(str(c).ljust(w) for c, w in zip(cells, widths, strict=True))

    print(line(headers))
    print("-+-".join("-" * w for w in widths))
    for row in rows:
        print(line(row))


def show_main(rows):
    print_table(
        [
            "operation",
            "vostral median",
            "best",
            "floor median",
            "ratio to floor",
            "reference median",
            "speed-up vs ref",
            "target",
            "met?",
        ],
        [
            [
                r["operation"],
                fmt_ns(r["vostral_median_ns"]),
                fmt_ns(r["vostral_best_ns"]),
                fmt_ns(r["floor_median_ns"]),
                fmt_times(r["ratio_to_floor"]),
                fmt_ns(r["reference_median_ns"]),
                fmt_times(r["speedup_vs_reference"]),
                r["target"] or "—",
                {None: "—", True: "yes", False: "NO"}[r["met"]],
            ]
            for r in rows
        ],
    )


# ---------------------------------------------------------------- scaling


def scaling(sides, repeats, budget_ns):
    text = random_text(TEXT_LENGTH, 7)
    rows = []
    for n in sides:
        game = moved_game(n)
        env = lambda game=game: {"g": game}  # noqa: E731
        floor = Floor(n)
        cases = {
            "create": Variant(classes, f"new({n})", "new = TarnelCore", number=None if n < 1000 else 1),
            "floor_create": Variant(classes, f"new({n})", "new = Game", number=None if n < 1000 else 1),
            "move": Variant(env, "m('U'); m('D')", "g.move_sequence(''); m = g.move_tile", per=2),
            "sequence": sequence_variant(TarnelCore, n, {n: text}),
            "tarnel": Variant(env, "m()", "m = g.get_tarnel", number=None if n < 1000 else 1),
            "floor_lists": Variant(
                lambda floor=floor: {"f": floor}, "m()", "m = f.lists", number=None if n < 1000 else 1
            ),
        }
        got = {k: statistics.median(per_op(v, calibrate(v, budget_ns), repeats)) for k, v in cases.items()}
        got["n"] = n
        rows.append(got)
    # Per cell, an O(n²) operation is flat; next to its floor, any growth is the allocator's.
    print_table(
        [
            "n",
            "TarnelCore(n)",
            "per cell",
            "floor Game(n)",
            "move_tile",
            "move_sequence/char",
            "get_tarnel()",
            "per cell",
            "floor lists()",
        ],
        [
            [
                r["n"],
                fmt_ns(r["create"]),
                fmt_ns(r["create"] / r["n"] ** 2),
                fmt_ns(r["floor_create"]),
                fmt_ns(r["move"]),
                fmt_ns(r["sequence"]),
                fmt_ns(r["tarnel"]),
                fmt_ns(r["tarnel"] / r["n"] ** 2),
                fmt_ns(r["floor_lists"]),
            ]
            for r in rows
        ],
    )
    return rows


# ---------------------------------------------------------------- memory


# Run in a fresh interpreter importing nothing else: memory freed earlier (even
# by an import) would be reused by the new games and hide their cost.
PER_OBJECT = """
import json, os, sys
from vostral import TarnelCore
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
n, count = int(sys.argv[1]), int(sys.argv[2])
TarnelCore(n)  # one game made and freed: the allocator then serves boards of this size from its heap
before = rss()
games = [TarnelCore(n) for _ in range(count)]
print(json.dumps({"per_game": (rss() - before) / count, "log": len(games[0].get_cmds_str())}))
"""


def memory(calls):
    n, count = 256, 200
    probe = subprocess.run(
        [sys.executable, "-c", PER_OBJECT, str(n), str(count)], check=True, capture_output=True, text=True
    )
    got = json.loads(probe.stdout)
    extra = got["per_game"] - 4 * n * n - got["log"]
    print(
        f"TarnelCore({n}) ×{count}: {got['per_game']:,.0f} B each by RSS = 4·n² + log ({got['log']:,}) "
        f"+ {extra:,.0f} B (allowed 256) -> {'yes' if extra <= 256 else 'NO'}"
    )
    result = {"per_object_bytes": got["per_game"], "extra_bytes": extra, "extra_ok": extra <= 256, "flat": {}}

    game = moved_game(4)
    text = "ulDRdrUL"

    def bad_call():
        try:
            game.move_tile(1)
        except TypeError:
            pass

    # The log is emptied every 1000 calls so that only what a call leaks remains.
    cases = {
        "move_tile('U')": lambda: (game.move_tile("U"), game.move_tile("D")),
        "move_tile(direction='U')": lambda: (game.move_tile(direction="U"), game.move_tile(direction="D")),
        "move_tile(1) -> TypeError": bad_call,
        "move_sequence(8 letters)": lambda: game.move_sequence(text),
        "get_tarnel()": game.get_tarnel,
        "get_cmds_str()": game.get_cmds_str,
        "get_mode()": game.get_mode,
        "duration()": game.duration,
        "TarnelCore(4) (1/10 of the calls)": lambda: TarnelCore(4),
    }
    tolerance = 128 * 1024
    for label, call in cases.items():
        total = calls // 10 if label.startswith("TarnelCore") else calls
        for _ in range(20_000):
            call()
        game.move_sequence("")
        before = rss_bytes()
        for _ in range(total // 1000):
            for _ in range(1000):
                call()
            game.move_sequence("")
        delta = rss_bytes() - before
        result["flat"][label] = {"calls": total, "rss_delta_bytes": delta, "ok": delta <= tolerance}
        print(
            f"  {label:<36} {total:>9,} calls: RSS {delta / 1024:+8.0f} KiB "
            f"-> {'flat' if delta <= tolerance else 'GROWS'}"
        )
    return result


# ---------------------------------------------------------------- callgrind

SNIPPET = """
import sys
from vostral import TarnelCore
from vostral_floor import Floor, Game
target, stmt, k = sys.argv[1], sys.argv[2], int(sys.argv[3])
g, f = TarnelCore(4), Floor(4)
g.move_tile("D")
env = {}
# The same loop as timeit's: repeat() makes no int per iteration, unlike range().
exec("from itertools import repeat\\ndef run(m, k):\\n    for _ in repeat(None, k):\\n        " + stmt, env)
env["run"](eval(target) if target else None, k)
"""

CALLGRIND_CASES = [  # (label, statement, calls per iteration, the callable, its floor)
    ("move_tile('U') vs one_letter", "m('U'); m('D')", 2, "g.move_tile", "f.one_letter"),
    ("move_tile(direction='U') vs one_letter", "m(direction='U'); m(direction='D')", 2, "g.move_tile", "f.one_letter"),
    ("get_mode() vs int", "m()", 1, "g.get_mode", "f.int"),
    ("TarnelCore(4) vs Game(4)", "m(4)", 1, "TarnelCore", "Game"),
]

# move_sequence on a random udlrUDLR text of `length` characters, or only the
# text made (call 0): the difference over the length is the cost per character.
SEQUENCE_SNIPPET = """
import random, sys
from vostral import TarnelCore
n, length, call = (int(a) for a in sys.argv[1:4])
letters = bytes(b"udlrUDLR"[b % 8] for b in range(256))
text = random.Random(n).randbytes(length).translate(letters).decode("ascii")
g = TarnelCore(n)
g.move_tile("D")
if call and g.move_sequence(text):
    sys.exit("the text solved the board")
"""


def instructions(script, *args):
    # Without address randomisation and with fixed hashing, counts repeat exactly.
    fixed = ["setarch", platform.machine(), "-R"] if shutil.which("setarch") else []
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            [
                *fixed,
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                script,
                *(str(a) for a in args),
            ],
            check=True,
            capture_output=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        with open(out) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")


def callgrind(k):
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: instruction counts skipped (apt-get install valgrind)")
        return None
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(SNIPPET)

    def per_iteration(target, stmt):
        # Start-up and teardown are the same in both runs, so the difference is K iterations.
        one, two = (instructions(f.name, target, stmt, count) for count in (k, 2 * k))
        return (two - one) / k

    rows, result = [], {"k": k, "calls": []}
    try:
        loop = per_iteration("", "pass")
        for label, stmt, calls, own_target, floor_target in CALLGRIND_CASES:
            own, fl = (per_iteration(target, stmt) / calls for target in (own_target, floor_target))
            # Less the loop's share, "net" is the call alone.
            net_own, net_floor = own - loop / calls, fl - loop / calls
            result["calls"].append(
                {
                    "call": label,
                    "vostral": own,
                    "floor": fl,
                    "ratio": own / fl,
                    "vostral_net": net_own,
                    "floor_net": net_floor,
                    "net_ratio": net_own / net_floor,
                }
            )
            rows.append(
                [
                    label,
                    f"{own:.1f}",
                    f"{fl:.1f}",
                    f"{own / fl:.2f}×",
                    f"{net_own:.1f}",
                    f"{net_floor:.1f}",
                    f"{net_own / net_floor:.2f}×",
                ]
            )
    finally:
        os.unlink(f.name)
    result["empty_loop"] = loop
    print(f"empty loop: {loop:.1f} instructions per iteration (K = {k})")
    print_table(["call vs floor", "vostral", "floor", "ratio", "vostral net", "floor net", "net ratio"], rows)
    result["sequence"] = sequence_instructions()
    return result


def sequence_instructions(length=TEXT_LENGTH):
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(SEQUENCE_SNIPPET)
    per_char = {}
    try:
        for n in (4, 100, 1000):
            made, played = (instructions(f.name, n, length, call) for call in (0, 1))
            per_char[n] = (played - made) / length
    finally:
        os.unlink(f.name)
    print(
        f"move_sequence on {length:,} random udlrUDLR characters, instructions per character: "
        + ", ".join(f"n = {n}: {count:.1f}" for n, count in per_char.items())
    )
    return per_char


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="runs of the whole table; medians are reported")
    parser.add_argument("--repeats", type=int, default=7, help="samples per operation in each run")
    parser.add_argument("--sample-ms", type=float, default=20.0, help="target length of one sample")
    parser.add_argument(
        "--json",
        default=os.path.join(os.path.dirname(__file__), "..", "build", "bench-results.json"),
        help="where to write the results (default: build/, which git ignores)",
    )
    parser.add_argument(
        "--quick", action="store_true", help="skip the reference's TarnelCore(1000) (about a minute) and n = 4000"
    )
    parser.add_argument("--scaling", action=argparse.BooleanOptionalAction, default=True)
    parser.add_argument("--memory", action=argparse.BooleanOptionalAction, default=True)
    parser.add_argument("--callgrind", action=argparse.BooleanOptionalAction, default=True)
    parser.add_argument("--callgrind-k", type=int, default=20_000)
    parser.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    args = parser.parse_args()
    budget = args.sample_ms * 1e6

    load_start = loadavg()
    print(f"Python {platform.python_version()}, {os.cpu_count()} CPUs, load average {' '.join(load_start)}")
    results = {"python": platform.python_version(), "load_start": load_start, "runs": args.runs}

    print(f"\n== Per operation: medians of {args.runs} runs (ns per operation) ==")
    ops = build_ops(args.quick)
    run_table(ops, args.runs, args.repeats, budget)
    rows = [summarise(op) for op in ops]
    show_main(rows)
    results["table"] = rows

    if args.scaling:
        with open("/proc/meminfo") as f:
            available = next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable"))
        sides = [4, 16, 100, 1000] + ([4000] if available > 4 << 30 and not args.quick else [])
        print(f"\n== Scaling (median of 3; move_sequence on {TEXT_LENGTH:,} characters) ==")
        results["scaling"] = scaling(sides, 3, budget)
    if args.memory:
        print("\n== Memory ==")
        results["memory"] = memory(1_000_000)
    if args.callgrind:
        print("\n== Instructions per call (callgrind, (I(2K) - I(K)) / K) ==")
        results["callgrind"] = callgrind(args.callgrind_k)

    results["load_end"] = loadavg()
    print(f"\nload average at the end: {' '.join(results['load_end'])}")
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(results, f, indent=2, ensure_ascii=False)
    print(f"results written to {os.path.normpath(args.json)}")
    missed = [r["operation"] for r in rows if r["met"] is False]
    if missed:
        print("targets missed: " + ", ".join(missed))
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
