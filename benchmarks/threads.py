"""Scaling over threads on a free-threaded CPython: separate games on 1 and 2 threads.

Each unit of work creates a side-8 game and plays 800 letters on it with
move_tile. Every thread does the same number of units, started together; the
figure is units per second over all threads, best of --runs. Then, on one
thread, move_tile("U") against the floor's one_letter("U") (benchmarks/floor),
when the floor module is importable (PYTHONPATH=build/bench-ft).

    nox -s bench_threads          builds both for the free-threaded 3.13t and runs this
"""

import argparse
import os
import platform
import random
import sys
import threading
import time
import timeit

from vostral import TarnelCore

LETTERS = random.Random(0).choices("UDLR", k=800)


def unit_work(units):
    for _ in range(units):
        move = TarnelCore(8).move_tile
        for letter in LETTERS:
            move(letter)


def units_per_second(threads, units):
    start = threading.Barrier(threads + 1)

    def work():
        start.wait()
        unit_work(units)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * units / (time.perf_counter() - began)


def per_call_ns(stmt, setup, number=200_000, repeats=7):
    return min(timeit.repeat(stmt, setup, number=number, repeat=repeats, globals=globals())) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--units", type=int, default=1500, help="units of work per thread in one run")
    args = parser.parse_args()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"{platform.python_implementation()} {sys.version.split()[0]}, GIL {'on' if gil else 'off'}, ", end="")
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    best = {n: max(units_per_second(n, args.units) for _ in range(args.runs)) for n in (1, 2)}
    for n, rate in best.items():
        print(f"{n} thread{'s' if n > 1 else ''}: {rate:,.0f} games created and moved 800 times per second")
    print(f"scaling, 2 threads over 1: {best[2] / best[1]:.2f}x (target 1.8x)")
    try:
        from vostral_floor import Floor
    except ImportError:
        print("no vostral_floor module: the floor comparison is skipped")
        return
    globals().update(TarnelCore=TarnelCore, Floor=Floor)
    game = per_call_ns("m('U'); m('D')", "m = TarnelCore(4).move_tile") / 2
    floor = per_call_ns("m('U'); m('D')", "m = Floor(4).one_letter") / 2
    print(f"move_tile('U'): {game:.1f} ns, floor one_letter: {floor:.1f} ns, ratio {game / floor:.2f}x (target 1.5x)")


if __name__ == "__main__":
    main()
