import os
import random
import re
import sys
import threading

from reference import ReferenceTarnel
from support import reachable, record_figure
from vostral import TarnelCore

THREADS, CALLS = 8, int(os.environ.get("VOSTRAL_THREAD_CALLS", "100000"))
CHARACTERS = "UDLRUDLRudlrxß\ufb02\U0001f600"
LOGGED = set(CHARACTERS + CHARACTERS.upper())  # as given to move_tile, or upper-cased by a sequence


def text(rng):
    return "".join(rng.choices(CHARACTERS, k=rng.randrange(8)))


def test_many_threads_on_shared_and_own_games(panic_exception):
    shared, own = TarnelCore(5), [TarnelCore(4) for _ in range(THREADS)]
    models = [ReferenceTarnel.from_state(g.get_tarnel(), g.get_cmds_str()) for g in own]
    handed, failures, start = [], [], threading.Barrier(THREADS)

    def work(index):
        rng, game, model, step = random.Random(index), own[index], models[index], -1
        # Each call acts on the shared game, on the thread's own game (checked
        # against its model), on games handed between threads, or fails.
        plan = rng.choices(["shared move", "shared move", "shared sequence", "shared read", "own move", "own move",
                            "own sequence", "own read", "hand over", "take over", "refused", "fault"], k=CALLS)
        try:
            start.wait()
            for step, operation in enumerate(plan):
                if operation == "shared move":
                    assert shared.move_tile(rng.choice(CHARACTERS)) in (None, "U", "D", "L", "R")
                elif operation == "shared sequence":
                    assert shared.move_sequence(text(rng)) in (True, False)
                elif operation == "shared read":
                    assert reachable(shared.get_tarnel()) and shared.get_mode() == 5
                    assert set(shared.get_cmds_str()) <= LOGGED
                elif operation == "own move":
                    ch = rng.choice(CHARACTERS)
                    assert game.move_tile(ch) == model.move_tile(ch)
                elif operation == "own sequence":
                    sequence = text(rng)
                    assert game.move_sequence(sequence) is model.move_sequence(sequence)
                elif operation == "own read":
                    assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())
                    assert re.fullmatch(r"\d+:\d+:\d+", game.duration())
                elif operation == "hand over":
                    handed.append(TarnelCore(rng.randrange(1, 4)))
                elif operation == "take over" and handed:
                    try:
                        other = handed.pop()  # made on another thread, used and released on this one
                    except IndexError:
                        continue
                    other.move_sequence(text(rng))
                    assert reachable(other.get_tarnel())
                elif operation == "refused":
                    try:
                        game.move_tile(rng.choice(["", "UD", None, "\ud800"]))
                        raise AssertionError("a refused argument was accepted")
                    except (TypeError, ValueError):
                        pass
                elif operation == "fault":
                    try:
                        TarnelCore(rng.choice([0, 46341, 2**61]))
                    except panic_exception:
                        pass
        except BaseException as error:  # faults included: every failure must be seen
            failures.append((index, step, error))

    threads, interval = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)], sys.getswitchinterval()
    try:
        # Hand the interpreter lock over as often as it allows, so that calls interleave finely.
        sys.setswitchinterval(1e-6)
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    record_figure("thread_calls", THREADS * CALLS)
    assert failures == []
    assert reachable(shared.get_tarnel()) and shared.get_mode() == 5
    for game, model in zip(own, models):
        assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())
    assert all(reachable(g.get_tarnel()) for g in handed)
