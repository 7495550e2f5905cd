"""A fault leaves every other game, and the interpreter, working. The faults that
need a child process of their own (out of memory, a clock before 1970) are in
tests/python/test_faults.py."""

import gc
import sys
import threading

import pytest

from reference import ReferenceTarnel
from support import PANIC, TOO_LARGE, ZERO_SIDE, Index, is_solvable, raise_
from vostral import TarnelCore


def make_games():
    games = [TarnelCore(n) for n in (1, 3, 6)]
    return games, [ReferenceTarnel.from_state(g.get_tarnel(), g.get_cmds_str()) for g in games]


def assert_all_usable(games, models):
    """The games kept their state and still move, and the interpreter still works."""
    assert sys.exc_info() == (None, None, None)
    for game, model in zip(games, models, strict=True):
        assert (game.get_tarnel(), game.get_cmds_str()) == (model.get_tarnel(), model.get_cmds_str())
        assert game.move_sequence("uLß\ufb02") is model.move_sequence("uLß\ufb02")
        assert game.move_tile("R") == model.move_tile("R") and game.get_tarnel() == model.get_tarnel()
    made = []
    thread = threading.Thread(target=lambda: made.append(TarnelCore(4).get_tarnel()))
    thread.start()
    thread.join()
    assert gc.collect() >= 0 and is_solvable(made[0])


FAULTS = {  # mode argument -> the fault's message
    "zero side": (0, ZERO_SIDE),
    "side too large": (46341, TOO_LARGE.format(46341)),
    "largest 64-bit side": (2**64 - 1, "capacity overflow"),
    "resumed from __index__": (Index(lambda: raise_(PANIC("resumed"))), "resumed"),
    "resumed class from __index__": (Index(lambda: raise_(PANIC)), ""),
    "fault in a nested call": (Index(lambda: TarnelCore(0)), ZERO_SIDE),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_fault_leaves_other_games_and_the_interpreter_working(capfd, fault):
    games, models = make_games()
    mode, message = FAULTS[fault]
    with pytest.raises(BaseException) as caught:  # the fault is no Exception
        TarnelCore(mode)
    assert type(caught.value) is PANIC and caught.value.args == (message,)
    del caught
    capfd.readouterr()
    assert_all_usable(games, models)


def test_fault_caught_inside_a_nested_call_spoils_nothing():
    games, models = make_games()

    def catch_then_three():
        with pytest.raises(PANIC):
            TarnelCore(0)
        return 3

    assert TarnelCore(Index(catch_then_three)).get_mode() == 3
    assert_all_usable(games, models)
