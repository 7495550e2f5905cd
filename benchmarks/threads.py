"""Scaling over threads on a free-threaded CPython: separate games on 1 and 2 threads.

Each unit of work creates a side-8 game and plays 800 letters on it with
move_tile; every thread does the same number of units, started together. A
round times one thread and then two (the other way round every other round),
so that both halves of a ratio see the machine in the same state, and does
the same for a plain Python loop that shares nothing between threads: the
most any work can scale by on this machine at that moment. The figures are
medians over --rounds of each round's ratios, with the lowest and highest.
Then, on one thread, move_tile("U") against the floor's one_letter("U")
(benchmarks/floor), when the floor module is importable
(PYTHONPATH=build/bench-ft): the same pairing, batch by batch.

    nox -s bench_threads          builds both for the free-threaded 3.13t and runs this
"""

import argparse
import os
import platform
import random
import statistics
import sys
import threading
import time
import timeit

from vostral import TarnelCore

LETTERS = random.Random(0).choices("UDLR", k=800)


def game_work(units):
    for _ in range(units):
        move = TarnelCore(8).move_tile
        for letter in LETTERS:
            move(letter)


def python_work(units):
    for _ in range(units):
        total = 0
        for step in range(2000):
            total += step


def units_per_second(work, threads, units):
    start = threading.Barrier(threads + 1)

    def worker():
        start.wait()
        work(units)

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * units / (time.perf_counter() - began)


def units_for(work, seconds):
    """Units of `work` that keep one thread busy for about `seconds`."""
    rate = max(units_per_second(work, 1, 200) for _ in range(3))
    return max(200, int(rate * seconds))


def summary(values):
    return f"median {statistics.median(values):.2f}x (lowest {min(values):.2f}x, highest {max(values):.2f}x)"


def paired_ratio(work, units, first_single):
    """Two threads' rate over one thread's, measured back to back."""
    if first_single:
        single = units_per_second(work, 1, units)
        return units_per_second(work, 2, units) / single, single
    double = units_per_second(work, 2, units)
    single = units_per_second(work, 1, units)
    return double / single, single


def scaling(rounds, seconds):
    game_units, python_units = units_for(game_work, seconds), units_for(python_work, seconds)
    game, ceiling, share, single = [], [], [], []
    for round_number in range(rounds):
        game_ratio, game_single = paired_ratio(game_work, game_units, round_number % 2 == 0)
        python_ratio, _ = paired_ratio(python_work, python_units, round_number % 2 == 1)
        game.append(game_ratio)
        ceiling.append(python_ratio)
        share.append(game_ratio / python_ratio)
        single.append(game_single)
    print(f"1 thread: median {statistics.median(single):,.0f} games created and moved 800 times per second")
    print(f"scaling, 2 threads over 1, {rounds} rounds: {summary(game)} (target 1.8x)")
    print(f"a plain Python loop in the same rounds: {summary(ceiling)}")
    print(f"the games' scaling over the loop's, round by round: {summary(share)}")


def floor_ratio(rounds, floor_type):
    def timer(method):
        return timeit.Timer("m('U'); m('D')", globals={"m": method})

    game, floor = timer(TarnelCore(4).move_tile), timer(floor_type(4).one_letter)
    number = 20_000
    ratios, game_ns, floor_ns = [], [], []
    for _ in range(rounds):
        game_best = min(game.repeat(repeat=3, number=number)) / (2 * number) * 1e9
        floor_best = min(floor.repeat(repeat=3, number=number)) / (2 * number) * 1e9
        game_ns.append(game_best)
        floor_ns.append(floor_best)
        ratios.append(game_best / floor_best)
    print(
        f"move_tile('U'): median {statistics.median(game_ns):.1f} ns, floor one_letter: median "
        f"{statistics.median(floor_ns):.1f} ns; over floor, {rounds} rounds: {summary(ratios)} (target 1.5x)"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15, help="paired measurements of each ratio")
    parser.add_argument("--seconds", type=float, default=0.5, help="length of one single-thread run")
    args = parser.parse_args()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"{platform.python_implementation()} {sys.version.split()[0]}, GIL {'on' if gil else 'off'}, ", end="")
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    scaling(args.rounds, args.seconds)
    try:
        from vostral_floor import Floor
    except ImportError:
        print("no vostral_floor module: the floor comparison is skipped")
        return
    floor_ratio(4 * args.rounds, Floor)


if __name__ == "__main__":
    main()
