import gc
import random
import re
import sys
import threading

import pytest

from reference import ReferenceTarnel
from vostral import TarnelCore

THREADS, CALLS = 8, 2_000
CHARACTERS = "UDLRudlrxß\ufb02"
METHODS = ["move_tile", "move_tile", "move_sequence", "get_tarnel", "get_cmds_str", "duration", "get_mode"]


def random_call(rng):
    name = rng.choice(METHODS)
    if name == "move_tile":
        return name, (rng.choice(CHARACTERS),)
    if name == "move_sequence":
        return name, ("".join(rng.choices(CHARACTERS, k=rng.randrange(6))),)
    return name, ()


def is_permutation(board, mode):
    return len(board) == mode and sorted(v for row in board for v in row) == list(range(mode * mode))


def run_threads(target, count=THREADS):
    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


class TestConcurrency:
    def test_mixed_calls_on_shared_and_private_games(self):
        shared, private = TarnelCore(5), [TarnelCore(4) for _ in range(THREADS)]
        models = [ReferenceTarnel.from_state(g.get_tarnel(), g.get_cmds_str()) for g in private]
        records, errors, start = [[] for _ in range(THREADS)], [], threading.Barrier(THREADS)

        def work(index):
            rng = random.Random(index)
            try:
                start.wait()
                for _ in range(CALLS):
                    name, arguments = random_call(rng)
                    if rng.random() < 0.5:
                        result = getattr(shared, name)(*arguments)
                        assert name != "get_tarnel" or is_permutation(result, 5)
                    else:
                        records[index].append((name, arguments, getattr(private[index], name)(*arguments)))
            except BaseException as error:  # faults included: every failure must be seen
                errors.append(error)

        interval = sys.getswitchinterval()
        try:
            # Hand the interpreter lock over as often as possible, so calls interleave finely.
            sys.setswitchinterval(1e-6)
            run_threads(work)
        finally:
            sys.setswitchinterval(interval)
        assert errors == []
        assert is_permutation(shared.get_tarnel(), 5) and shared.get_mode() == 5
        for game, model, record in zip(private, models, records):
            # Each private game saw exactly its thread's calls, in order.
            for name, arguments, result in record:
                expected = getattr(model, name)(*arguments)
                assert re.fullmatch(r"\d+:\d+:\d+", result) if name == "duration" else result == expected
            assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())

    def test_games_created_on_other_threads(self):
        made = []
        run_threads(lambda _: made.append(TarnelCore(3)))
        # Each thread seeds its own generator: the scrambles are independent.
        assert len({game.get_cmds_str() for game in made}) == THREADS
        for game in made:
            model = ReferenceTarnel.from_state(game.get_tarnel())
            assert game.move_sequence("ulDR") is model.move_sequence("ulDR")
            assert game.get_tarnel() == model.get_tarnel()

    @pytest.mark.parametrize(
        ("name", "argument", "other"),
        [("get_tarnel", None, lambda g: g.move_tile("x")), ("move_tile", 5, lambda g: g.get_mode())],
        ids=["read-building-lists", "move-building-its-error"],
    )
    def test_collection_inside_a_call_does_not_refuse_another_thread(self, name, argument, other):
        # A call may allocate tracked objects (lists, an exception) while it holds
        # the game. That may run the cycle collector, whose finalizers run Python
        # code that can hand the interpreter lock to another thread; a call on
        # the same game from there must still work.
        shared, outcomes = TarnelCore(3), []

        def call_from_another_thread(_):
            try:
                outcomes.append(other(shared))
            except RuntimeError as error:
                outcomes.append(error)

        class Finalized:
            def __del__(self):
                run_threads(call_from_another_thread, count=1)

        # Bound before the collector is armed: binding a method allocates too.
        method, arguments = getattr(shared, name), () if argument is None else (argument,)
        thresholds = gc.get_threshold()
        try:
            gc.collect()
            # Lists held here empty the interpreter's free list, so new lists
            # come from the collector's allocator.
            held = [[] for _ in range(200)]
            garbage = Finalized()
            garbage.cycle = garbage
            del garbage
            gc.set_threshold(1)  # the next tracked allocation collects
            try:
                method(*arguments)
            except TypeError:
                pass
        finally:
            gc.set_threshold(*thresholds)
        gc.collect()
        assert held and len(outcomes) == 1
        assert not isinstance(outcomes[0], RuntimeError), outcomes[0]
