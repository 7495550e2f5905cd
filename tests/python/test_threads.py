"""Threads on shared and private games. The stress test's length follows the
profile: a few thousand calls per thread in the quick tier, many more in CI."""

import contextlib
import gc
import random
import re
import sys
import threading

import pytest

from reference import ReferenceTarnel
from support import PANIC, SCALE, is_solvable, record_figure
from vostral import TarnelCore

THREADS = 8
CHARACTERS = "UDLRUDLRudlrxß\ufb02\U0001f600"
LOGGED = set(CHARACTERS + CHARACTERS.upper())  # as given to move_tile, or upper-cased by a sequence
# What a stress thread's calls do, moves twice as often as the rest.
OPERATIONS = ["shared move", "shared sequence", "shared read", "own move", "own sequence", "own read"]
OPERATIONS += ["shared move", "own move", "hand over", "take over", "refused", "fault"]


def text(rng):
    return "".join(rng.choices(CHARACTERS, k=rng.randrange(8)))


@contextlib.contextmanager
def fine_switching():
    """Hands the interpreter lock over as often as it allows, so that calls interleave finely."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def run_threads(target, count=THREADS):
    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


class TestConcurrency:
    def test_many_threads_on_shared_and_own_games(self):
        calls = SCALE.thread_calls
        shared, own = TarnelCore(5), [TarnelCore(4) for _ in range(THREADS)]
        models = [ReferenceTarnel.from_state(g.get_tarnel(), g.get_cmds_str()) for g in own]
        handed, failures, start = [], [], threading.Barrier(THREADS)

        def work(index):
            rng, game, model, step = random.Random(index), own[index], models[index], -1
            # Each call acts on the shared game, on the thread's own game (checked
            # against its model), on games handed between threads, or fails.
            plan = rng.choices(OPERATIONS, k=calls)
            try:
                start.wait()
                for step, operation in enumerate(plan):
                    if operation == "shared move":
                        assert shared.move_tile(rng.choice(CHARACTERS)) in (None, "U", "D", "L", "R")
                    elif operation == "shared sequence":
                        shared.move_sequence(text(rng))  # the shared reads check what it left
                    elif operation == "shared read":
                        assert is_solvable(shared.get_tarnel()) and shared.get_mode() == 5
                        assert set(shared.get_cmds_str()) <= LOGGED
                        assert re.fullmatch(r"\d+:\d+:\d+", shared.duration())
                    elif operation == "own move":
                        ch = rng.choice(CHARACTERS)
                        assert game.move_tile(ch) == model.move_tile(ch)
                    elif operation == "own sequence":
                        sequence = text(rng)
                        assert game.move_sequence(sequence) is model.move_sequence(sequence)
                    elif operation == "own read":
                        assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())
                        assert game.get_mode() == 4 and re.fullmatch(r"\d+:\d+:\d+", game.duration())
                    elif operation == "hand over":
                        handed.append(TarnelCore(rng.randrange(1, 4)))
                    elif operation == "take over" and handed:
                        try:
                            other = handed.pop()  # made on another thread, used and released on this one
                        except IndexError:
                            continue
                        other.move_sequence(text(rng))
                        assert is_solvable(other.get_tarnel())
                    elif operation == "refused":
                        try:
                            game.move_tile(rng.choice(["", "UD", None, "\ud800"]))
                            raise AssertionError("a refused argument was accepted")
                        except (TypeError, ValueError):
                            pass
                    elif operation == "fault":
                        try:
                            TarnelCore(rng.choice([0, 46341, 2**61]))
                        except PANIC:
                            pass
            except BaseException as error:  # noqa: BLE001 (faults included: every failure must be seen)
                failures.append((index, step, error))

        with fine_switching():
            run_threads(work)
        record_figure("thread_calls", THREADS * calls)
        assert failures == []
        assert is_solvable(shared.get_tarnel()) and shared.get_mode() == 5
        for game, model in zip(own, models, strict=True):
            assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())
        assert all(is_solvable(g.get_tarnel()) for g in handed)

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


def gap(board):
    return next((r, c) for r, row in enumerate(board) for c, value in enumerate(row) if value == 0)


class TestOneGameManyThreads:
    """Calls on one game from several threads take turns: none is refused for
    mere contention, none is lost and none sees another half done. Two movers
    play only U/D and only L/R, so each one's part of the log is known."""

    def shared_run(self, game, movers, readers):
        start_log, start_board = game.get_cmds_str(), game.get_tarnel()
        side, failures, reads, stop = game.get_mode(), [], [], threading.Event()
        cells = list(range(side * side))

        def read(_):
            while not stop.is_set():
                board, log = game.get_tarnel(), game.get_cmds_str()
                assert sorted(v for row in board for v in row) == cells, board
                assert re.fullmatch(r"\d+:\d+:\d+", game.duration())
                reads.append(log)

        def guarded(body):
            def run(index):
                try:
                    body(index)
                except BaseException as error:  # noqa: BLE001 (faults included: every failure must be seen)
                    failures.append(error)

            return run

        threads = [threading.Thread(target=guarded(m), args=(i,)) for i, m in enumerate(movers)]
        threads += [threading.Thread(target=guarded(read), args=(i,)) for i in range(readers)]
        with fine_switching():
            for thread in threads:
                thread.start()
            for thread in threads[: len(movers)]:
                thread.join()
            stop.set()
            for thread in threads[len(movers) :]:
                thread.join()
        assert failures == []
        return start_log, start_board, reads

    def test_moves_from_many_threads_are_each_applied_once(self):
        game, calls = TarnelCore(6), SCALE.thread_calls // 2
        plans = [random.Random(i).choices(letters, k=calls) for i, letters in enumerate(["UD", "LR"])]
        returned = [[], []]

        def move(index):
            returned[index].extend(map(game.move_tile, plans[index]))

        start_log, start_board, reads = self.shared_run(game, [move, move], readers=2)
        log = game.get_cmds_str()
        assert log.startswith(start_log) and len(log) == len(start_log) + 2 * calls
        played = log[len(start_log) :]
        # Each thread's letters, in its own order: an interleaving of the two plans.
        assert [c for c in played if c in "UD"] == plans[0]
        assert [c for c in played if c in "LR"] == plans[1]
        assert all(log.startswith(seen) for seen in reads)
        # Replayed in the logged order from the starting board: the same board,
        # and each call returned what its move did at its turn.
        model = ReferenceTarnel.from_state(start_board)
        replayed = [[], []]
        for c in played:
            replayed[c in "LR"].append(model.move_tile(c))
        assert replayed == returned
        assert game.get_tarnel() == model.get_tarnel()

    def test_sequences_tiles_and_reads_on_one_game(self):
        # U/D moves change only the gap's row and L/R moves only its column, so
        # each mover's effect is known whatever the interleaving.
        game, calls = TarnelCore(5), SCALE.thread_calls // 4
        letters = random.Random(0).choices("UD", k=calls)
        sequences = ["".join(random.Random(i).choices("lr", k=i % 7 + 1)) for i in range(calls // 4)]
        tiles, solved = [], []

        def tile_mover(_):
            tiles.extend(map(game.move_tile, letters))

        def sequence_mover(_):
            solved.extend(map(game.move_sequence, sequences))

        start_log, start_board, reads = self.shared_run(game, [tile_mover, sequence_mover], readers=2)
        assert not any(solved)
        rows, columns = ReferenceTarnel.from_state(start_board), ReferenceTarnel.from_state(start_board)
        assert tiles == [rows.move_tile(c) for c in letters]
        for sequence in sequences:
            columns.move_sequence(sequence)
        assert gap(game.get_tarnel()) == (gap(rows.get_tarnel())[0], gap(columns.get_tarnel())[1])
        # Each log seen is a whole one: the creation log or one sequence's, then tile moves only.
        whole = {start_log, *(s.upper() for s in sequences)}
        for seen in [*reads, game.get_cmds_str()]:
            assert any(seen.startswith(w) and set(seen[len(w) :]) <= set("UD") for w in whole), seen
