import gc
import glob
import os
import subprocess
import sys
import threading

import pytest

from reference import ReferenceTarnel
from support import SANITIZED, TOO_LARGE, ZERO_SIDE, is_solvable
from vostral import TarnelCore


class Index:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def raising(error):
    def action():
        raise error

    return action


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


FAULTS = {  # mode argument, given the fault class -> the fault's message
    "zero side": (lambda panic: 0, ZERO_SIDE),
    "side too large": (lambda panic: 46341, TOO_LARGE.format(46341)),
    "largest 64-bit side": (lambda panic: 2**64 - 1, "capacity overflow"),
    "resumed from __index__": (lambda panic: Index(raising(panic("resumed"))), "resumed"),
    "resumed class from __index__": (lambda panic: Index(raising(panic)), ""),
    "fault in a nested call": (lambda panic: Index(lambda: TarnelCore(0)), ZERO_SIDE),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_fault_leaves_other_games_and_the_interpreter_working(panic_exception, capfd, fault):
    games, models = make_games()
    mode, message = FAULTS[fault]
    with pytest.raises(BaseException) as caught:  # the fault is no Exception
        TarnelCore(mode(panic_exception))
    assert type(caught.value) is panic_exception and caught.value.args == (message,)
    del caught
    capfd.readouterr()
    assert_all_usable(games, models)


def test_fault_caught_inside_a_nested_call_spoils_nothing(panic_exception):
    games, models = make_games()

    def catch_then_three():
        with pytest.raises(panic_exception):
            TarnelCore(0)
        return 3

    assert TarnelCore(Index(catch_then_three)).get_mode() == 3
    assert_all_usable(games, models)


# Makes games, runs FAULT, then checks the games and the interpreter and prints
# "usable". No exception passes through the module before FAULT runs.
CHILD = """
import gc, os, re, resource, sys, threading, time, vostral
games = [vostral.TarnelCore(n) for n in (1, 3, 6)]
states = [(g.get_tarnel(), g.get_cmds_str()) for g in games]
{fault}
assert [(g.get_tarnel(), g.get_cmds_str()) for g in games] == states
for game in games:
    game.move_sequence("ulDR")
    assert sorted(sum(game.get_tarnel(), [])) == list(range(game.get_mode() ** 2))
thread = threading.Thread(target=lambda: vostral.TarnelCore(4).move_tile("U"))
thread.start(), thread.join(), gc.collect()
print("usable")
"""
OUT_OF_MEMORY = """
def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
big, text = vostral.TarnelCore(2000), "x" * (64 << 20)
calls = (big.get_tarnel, lambda: vostral.TarnelCore(20000), lambda: big.move_sequence(text))
outcomes, turns = set(), [threading.Event() for _ in range(4)]
def run_out(turn):
    turns[turn].wait()
    for call in calls:
        try:
            call()
        except BaseException as error:
            outcomes.add(f"{type(error).__name__}: {error}")
# Fresh threads, started while there is room for their stacks: on each, the
# first exception that passes through the module meets an exhausted heap.
threads = [threading.Thread(target=run_out, args=(turn,)) for turn in range(len(turns))]
[thread.start() for thread in threads]
# Room for ordinary work, not for four million ints, a huge board or a huge log.
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (48 << 20), resource.RLIM_INFINITY))
for turn, thread in zip(turns, threads):
    turn.set(), thread.join()
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(sorted(outcomes))
assert big.get_mode() == 2000 and len(big.get_tarnel()) == 2000
"""
CLOCK_BEFORE_1970 = """
os.environ["FAKETIME"] = "@1969-12-31 23:00:00"
if time.time() > 0:
    sys.exit("the clock could not be faked here")
for call in (lambda: vostral.TarnelCore(4), games[1].duration):
    try:
        call()
        raise AssertionError("the clock fault was not raised")
    except BaseException as error:
        assert type(error).__name__ == "PanicException" and str(error).startswith("Time went backwards"), error
os.environ["FAKETIME"] = "+0"
assert all(re.fullmatch("[0-9]+:[0-9]+:[0-9]+", g.duration()) for g in games)
"""


def run_child(fault, env=None):
    completed = subprocess.run(
        [sys.executable, "-c", CHILD.format(fault=fault)],
        env={**os.environ, **(env or {})},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    if "the clock could not be faked here" in completed.stderr:
        pytest.skip("the clock could not be faked here")
    assert completed.returncode == 0, f"exit status {completed.returncode}: {completed.stderr[-1500:]}"
    return completed.stdout.splitlines()


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory defeats an address-space limit")
def test_out_of_memory_leaves_other_games_and_the_interpreter_working():
    outcomes, usable = run_child(OUT_OF_MEMORY)
    assert set(eval(outcomes)) <= {"MemoryError: ", "PanicException: Python API call failed"}, outcomes
    assert "MemoryError: " in outcomes and usable == "usable"


@pytest.mark.skipif(SANITIZED, reason="preloading the clock faker next to the sanitizer's runtime hangs the process")
def test_clock_fault_leaves_other_games_and_the_interpreter_working():
    found = glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob("/usr/lib/faketime/libfaketime.so.1")
    if not found:
        pytest.skip("the clock faker is not installed")
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), found[0]]))
    env = {"LD_PRELOAD": preload, "FAKETIME": "+0", "FAKETIME_NO_CACHE": "1", "TZ": "UTC"}
    assert run_child(CLOCK_BEFORE_1970, env) == ["usable"]
