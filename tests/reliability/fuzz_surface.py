"""Calls every entry point of vostral with arguments decoded from arbitrary bytes:
the constructor and the methods, bound or through the class, with any positional
and keyword arguments of any type, hostile objects too. Each outcome must be what
binding and conversion predict (a result agreeing with the Python model, or the one
expected exception); after every input each game must still read, move and hold a
reachable board.

    python fuzz_surface.py [fuzzer options] DIR...       coverage-guided (atheris)
    python fuzz_surface.py --replay FILE...              each input once
    python fuzz_surface.py --random COUNT                COUNT random inputs, no atheris
"""

import math
import os
import pathlib
import re
import struct
import sys

TESTS = pathlib.Path(__file__).resolve().parents[1]
# The model and helpers in tests/, and the example solver whose solvability test they use.
sys.path[:0] = [str(TESTS), str(TESTS.parent / "examples")]

from reference import ReferenceTarnel  # noqa: E402
from support import PANIC, TOO_LARGE, ZERO_SIDE, is_solvable  # noqa: E402
from vostral import TarnelCore  # noqa: E402

atheris = None
if sys.argv[1:2] not in (["--replay"], ["--random"]):
    try:
        import atheris
    except ImportError:
        pass

INTS = [0, 1, 2, 46341, 2**61 - 1, 2**61, 2**63, 2**64 - 1, 2**64, -1, -(2**63), 10**40, -(10**40)]
CHARACTERS = "UDLRudlrxß\ufb02\ufb04é\u0149\U0001f600\ud800\udfff"
KEYWORDS = ["mode", "sequence", "direction", "Mode", "direction\0", "\udc80", 1]
MOVES = {"move_tile": "direction", "move_sequence": "sequence"}
TARGETS = ["new", "new", *MOVES, *MOVES, "get_tarnel", "duration", "get_cmds_str", "get_mode", "unbound"]
MISSING = object()


def covered(function):
    return atheris.instrument_func(function) if atheris else function


class Hostile(Exception):
    pass


def hostile(*_):
    raise Hostile("hostile")


class HostileStr(str):
    """Read by its contents; only a message about an unexpected keyword asks for its str()."""

    __hash__ = str.__hash__
    __eq__ = __str__ = __len__ = __iter__ = hostile


class HostileObject:
    __hash__ = object.__hash__
    __eq__ = __str__ = __repr__ = __len__ = hostile


class IndexedInt(int):
    __index__ = hostile  # an int is read as an int: this must never run


class HostileIndex:
    """`__index__` returns `value` or raises it, possibly around calls into the module."""

    def __init__(self, how, value):
        self.how, self.value, self.raised = how, value, None

    def __index__(self):
        try:
            if self.how == "nested read":
                POOL[0][0].get_tarnel(), TarnelCore(2)
            elif self.how.startswith("nested fault"):
                try:
                    TarnelCore(0)
                except PANIC:
                    if self.how == "nested fault":
                        raise
            if self.how in ("raise", "nested fault"):
                raise self.value
            return self.value
        except BaseException as error:
            self.raised = error
            raise


class Reader:
    """Hands out the input's bytes; zeros once they run out, so every input decodes."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, count):
        self.at += count
        return self.data[self.at - count : self.at].ljust(count, b"\0")

    def below(self, bound):
        return int.from_bytes(self.take(1 if bound <= 256 else 3), "little") % bound

    def choice(self, options):
        return options[self.below(len(options))]


@covered
def fuzz_int(r):
    kind = r.below(4)
    value = (
        r.below(9)
        if kind == 0
        else r.choice(INTS)
        if kind == 1
        else int.from_bytes(r.take(r.below(24)), "little", signed=True)
    )
    # Sides above 64 up to the largest one would build boards of up to 17 GB.
    return value % 65 if 64 < value <= 46340 else value


@covered
def fuzz_char(r):
    kind = r.below(8)
    if kind < 6:
        return r.choice(CHARACTERS) if kind < 4 else chr(r.below(128))
    return chr(int.from_bytes(r.take(3), "little") % 0x110000)  # surrogates included


def fuzz_text(r):
    return "".join(fuzz_char(r) for _ in range(r.below(6) if r.below(32) else r.below(4000)))


@covered
def fuzz_value(r, depth=0):
    kind = r.below(16)
    if kind < 6:
        return fuzz_int(r) if kind < 3 else fuzz_char(r)
    if kind < 8:
        return r.choice([HostileStr, str])(fuzz_text(r)) if kind == 7 else fuzz_text(r)
    if kind < 11:
        return [
            lambda: r.choice([True, False, None, PANIC, PANIC("x"), HostileObject(), TarnelCore, POOL[0][0]]),
            lambda: r.choice([0.0, -1.0, math.nan, math.inf, struct.unpack("<d", r.take(8))[0], r.take(3)]),
            lambda: IndexedInt(fuzz_int(r)),
        ][kind - 8]()
    if kind == 11 and depth < 2:
        return r.choice([list, tuple])(fuzz_value(r, depth + 1) for _ in range(r.below(3)))
    how = r.choice(["return", "return", "nested read", "nested fault caught", "raise", "raise", "nested fault"])
    if how == "raise":
        value = r.choice(
            [
                TypeError("no"),
                TypeError(HostileObject()),
                type("OwnTypeError", (TypeError,), {})(),
                ValueError(),
                OverflowError(),
                Hostile(),
                KeyboardInterrupt(),
                MemoryError(),
                PANIC,
                PANIC("p"),
            ]
        )
    else:
        value = fuzz_int(r) if r.below(4) else r.choice(["3", 3.0, None, b"3"])
    return HostileIndex(how, value)


def bind(parameter, args, kwargs):
    """The argument the module's binder gives `parameter`, or MISSING when it refuses the call."""
    if len(args) > 1:
        return MISSING
    bound = args[0] if args else MISSING
    for key, value in kwargs.items():
        # Names match by their UTF-8 bytes: no other key, and no second value.
        if bound is not MISSING or not isinstance(key, str) or str.__str__(key) != parameter:
            return MISSING
        bound = value
    return bound


def mode_outcome(value):
    """(side, None) for an accepted side, else (None, what must be raised)."""
    if isinstance(value, HostileIndex):
        if value.how in ("raise", "nested fault"):
            assert value.raised is not None, "__index__ was not called"
            if type(value.raised) is PANIC:  # resumed as a fault with the same message
                return None, PANIC(str(value.raised))
            return None, TypeError if type(value.raised) is TypeError else value.raised
        value = value.value
        if type(value) is not int:
            return None, TypeError
    elif not isinstance(value, int):
        return None, TypeError
    if not 0 <= value < 2**64:
        return None, OverflowError
    if value == 0 or value > 46340:
        return None, PANIC(
            ZERO_SIDE if value == 0 else "capacity overflow" if value >= 2**61 else TOO_LARGE.format(value)
        )
    return int(value), None


def text_outcome(value, one_character):
    if not isinstance(value, str):
        return TypeError
    text = str.__str__(value)
    if any(0xD800 <= ord(ch) <= 0xDFFF for ch in text):
        return UnicodeEncodeError
    return ValueError if one_character and len(text) != 1 else None


def check_error(error, expected, parameter):
    """`error` must be the predicted one: a type, a fault and its message, the very
    exception a hostile object raised, or (None) nothing but running out of memory."""
    if expected is None:
        assert type(error) is MemoryError, f"a valid call failed: {error!r}"
    elif isinstance(expected, type):
        assert type(error) is expected, (repr(error), expected)
        assert not (expected is TypeError and parameter) or str(error).startswith(f"argument '{parameter}': ")
    elif isinstance(expected, PANIC):
        assert type(error) is PANIC and error.args == expected.args, (repr(error), expected)
    else:
        assert error is expected, (repr(error), expected)


def snapshot(game):
    return game.get_tarnel(), game.get_cmds_str()


@covered
def one_call(r):
    at = r.below(len(POOL))
    (game, model), target = POOL[at], r.choice(TARGETS)
    args, kwargs = [fuzz_value(r) for _ in range(r.choice([1, 1, 1, 0, 2, 3]))], {}
    for _ in range(r.choice([0, 0, 0, 1, 2])):
        key = r.choice(KEYWORDS + [HostileStr("direction"), HostileObject()]) if r.below(4) else fuzz_text(r)
        try:
            kwargs[key] = fuzz_value(r)
        except Hostile:  # a hostile key met its double in the dict
            pass
    natural = {
        "new": (fuzz_int, "mode"),
        "move_tile": (fuzz_char, "direction"),
        "move_sequence": (fuzz_text, "sequence"),
    }
    if target in natural and r.below(2):
        # Well-formed calls, by position or by keyword, so that many succeed.
        make, name = natural[target]
        args, kwargs = ([make(r)], {}) if r.below(4) else ([], {name: make(r)})
    method = r.choice(["move_tile", "move_sequence", "get_tarnel", "get_mode"])
    if target == "unbound":  # through the class, with this game or another receiver, or none at all
        receiver, unbound = r.choice([game, game, 5, "U", HostileObject(), None]), getattr(TarnelCore, method)
        make = unbound if receiver is None else lambda *a, **k: unbound(receiver, *a, **k)
        args, kwargs = (args, kwargs) if receiver is not None else ([], {})
        target = method if receiver is game else target
    else:
        make = TarnelCore if target == "new" else getattr(game, target)
    parameter = MOVES.get(target, "mode" if target == "new" else None)
    before = [snapshot(g) for g, _ in POOL]
    try:
        result = make(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 (faults included: each outcome is checked below)
        bound = bind(parameter, args, kwargs) if parameter else MISSING
        if bound is MISSING:  # refused by the binder or by the interpreter
            check_error(error, TypeError, None)
        elif parameter == "mode":
            check_error(error, mode_outcome(bound)[1], "mode")
        else:
            check_error(error, text_outcome(bound, parameter == "direction"), parameter)
        assert [snapshot(g) for g, _ in POOL] == before, "a failing call changed a game"
        return
    assert target in ("new", *MOVES, "get_tarnel", "duration", "get_cmds_str", "get_mode"), target
    if target == "new":
        side, log = mode_outcome(bind("mode", args, kwargs))[0], result.get_cmds_str()
        assert side is not None and result.get_mode() == side, (args, kwargs)
        assert len(log) == 1000 and set(log) <= set("UDLR") and is_solvable(result.get_tarnel())
        if side <= 8:
            POOL[at] = (result, ReferenceTarnel.from_state(result.get_tarnel(), log))
    elif parameter:
        argument = str.__str__(bind(parameter, args, kwargs))
        assert text_outcome(argument, parameter == "direction") is None, f"{argument!r} was accepted"
        assert result == getattr(model, target)(argument), (target, argument)
    else:
        assert re.fullmatch(r"\d+:\d+:\d+", result) if target == "duration" else result == getattr(model, target)()
    assert all(snapshot(g) == snapshot(m) for g, m in POOL)


# A crash kills the process before it can say which input did it: each input is written here first.
LAST_INPUT = os.environ.get("VOSTRAL_FUZZ_LAST_INPUT")
LAST_INPUT_FD = os.open(LAST_INPUT, os.O_WRONLY | os.O_CREAT, 0o644) if LAST_INPUT else None


@covered
def one_input(data):
    if LAST_INPUT_FD is not None:
        os.ftruncate(LAST_INPUT_FD, 0)
        os.pwrite(LAST_INPUT_FD, data, 0)
    r = Reader(data)
    for _ in range(1 + r.below(3)):
        one_call(r)
    for game, model in POOL:
        # A fixed read and a fixed move still work, and the board is still reachable.
        assert game.get_mode() == model.get_mode() and game.move_tile("x") is model.move_tile("x") is None
        assert is_solvable(game.get_tarnel()) and snapshot(game) == snapshot(model)
        if len(model.get_cmds_str()) > 10_000:
            assert game.move_sequence("") is model.move_sequence("") is False


POOL = [(g, ReferenceTarnel.from_state(g.get_tarnel(), g.get_cmds_str())) for g in map(TarnelCore, (1, 3, 4))]

if __name__ == "__main__":
    if sys.argv[1:2] == ["--replay"]:
        for path in sys.argv[2:]:
            one_input(pathlib.Path(path).read_bytes())
        print(f"replayed {len(sys.argv) - 2} inputs")
    elif atheris is None:
        runs = int(sys.argv[2]) if sys.argv[1:2] == ["--random"] else 10_000
        for _ in range(runs):
            one_input(os.urandom(int.from_bytes(os.urandom(2), "little") % 512))
        print(f"Done {runs} runs")
    else:
        # Merging re-runs the program through the shell under its argv[0].
        atheris.Setup([f"{sys.executable} {os.path.abspath(sys.argv[0])}", *sys.argv[1:]], one_input)
        atheris.Fuzz()
