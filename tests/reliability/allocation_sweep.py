"""Sweeps one call path for single allocation failures.

Run by test_allocation_failures.py in an interpreter that has the failing
allocator preloaded (failing_malloc.cpp) and PYTHONMALLOC=malloc, so that
every allocation of the interpreter and of the module is counted:

    python allocation_sweep.py PATH

For k = 1, 2, ... it forks a child that arms the allocator to fail the k-th
allocation, makes the path's call, and reports how the call ended, whether
the module's own code asked for the allocation that failed, what the call
printed, and whether the interpreter and the game still work afterwards. The
sweep ends at the first k the call never reached. One JSON line per point goes
to stdout; a child that dies (abort, crash) shows as its wait status.
"""

import ctypes
import gc
import json
import os
import pathlib
import sys
import tempfile

TESTS = pathlib.Path(__file__).resolve().parents[1]


def preloaded_allocator():
    allocator = ctypes.CDLL(None)
    allocator.failing_malloc_arm.argtypes = [ctypes.c_long]
    allocator.failing_malloc_disarm.restype = ctypes.c_long
    allocator.failing_malloc_failed_in.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    return allocator


# name -> (setup() -> context, call(context) -> result, check(result) -> bool)
# A call that is expected to raise names the exception type instead of check.
def paths():
    # The helpers in tests/, but only here: the import path must search for the
    # module as a user's import does. Not the fault class itself, which most
    # paths must meet being made.
    if str(TESTS) not in sys.path:
        sys.path[:0] = [str(TESTS), str(TESTS.parent / "examples")]
    import support
    from support import ZERO_SIDE, Index, Unprintable, raise_
    from vostral import TarnelCore as T

    game = lambda: {"game": T(4), "big": T(9)}  # noqa: E731 (9 x 9 copies the board to the heap)
    return {
        "create": (dict, lambda c: T(4), lambda g: g.get_mode() == 4),
        "create by keyword": (dict, lambda c: T(mode=100), lambda g: g.get_mode() == 100),
        "create, side zero": (dict, lambda c: T(0), ("PanicException", ZERO_SIDE)),
        "create, side too large": (dict, lambda c: T(46341), ("PanicException", None)),
        "create, capacity overflow": (dict, lambda c: T(2**64 - 1), ("PanicException", "capacity overflow")),
        "create, panic resumed from __index__": (
            lambda: {"panic": support.PANIC},
            lambda c: T(Index(lambda: raise_(c["panic"]("x")))),
            ("PanicException", "x"),
        ),
        "create, missing argument": (dict, lambda c: T(), ("TypeError", None)),
        "create, not an integer": (dict, lambda c: T("4"), ("TypeError", None)),
        "create, negative": (dict, lambda c: T(-1), ("OverflowError", None)),
        "create, unprintable error from __index__": (
            dict,
            lambda c: T(Index(lambda: raise_(TypeError(Unprintable())))),
            ("TypeError", None),
        ),
        "move_tile": (game, lambda c: c["game"].move_tile("U"), lambda r: r in ("U", None)),
        "move_tile by keyword": (game, lambda c: c["game"].move_tile(direction="l"), lambda r: r in ("l", None)),
        "move_tile, two letters": (game, lambda c: c["game"].move_tile("UD"), ("ValueError", None)),
        "move_tile, not a str": (game, lambda c: c["game"].move_tile(5), ("TypeError", None)),
        "move_sequence": (game, lambda c: c["game"].move_sequence("udlrß\ufb02LR" * 40), lambda r: type(r) is bool),
        "move_sequence, not a str": (game, lambda c: c["game"].move_sequence(None), ("TypeError", None)),
        "move_sequence, surrogate": (game, lambda c: c["game"].move_sequence("U\ud800"), ("UnicodeEncodeError", None)),
        "move_sequence, unknown keyword": (game, lambda c: c["game"].move_sequence(text="U"), ("TypeError", None)),
        "get_tarnel": (game, lambda c: c["game"].get_tarnel(), lambda b: len(b) == 4 and len(b[3]) == 4),
        "get_tarnel, 9 x 9": (game, lambda c: c["big"].get_tarnel(), lambda b: len(b) == 9 and len(b[8]) == 9),
        "duration": (game, lambda c: c["game"].duration(), lambda t: t.count(":") == 2),
        "get_cmds_str": (game, lambda c: c["game"].get_cmds_str(), lambda t: len(t) == 1000),
        "get_mode": (game, lambda c: c["game"].get_mode(), lambda m: m == 4),
        # The popped object is dropped inside the call: its release is what is swept.
        "release": (game, lambda c: c.pop("big") and None, lambda r: r is None),
        "object never built": (hollow, lambda c: c["hollow"].move_sequence("U"), ("TypeError", None)),
        "release of an object never built": (hollow, lambda c: c.pop("hollow") and None, lambda r: r is None),
    }


def hollow():
    """A game, then an object that the class's own __new__ never built."""
    from vostral import TarnelCore as T

    built = T(4)
    T.__new__ = staticmethod(lambda cls, *args: object.__new__(cls))
    return {"hollow": T(), "game": built}


def still_working(context):
    """The interpreter, the module and the games of the context still work
    once memory is back."""
    from vostral import TarnelCore as T

    games = [context[key] for key in ("game", "big") if key in context]
    if "__new__" not in T.__dict__ or T.__dict__["__new__"].__class__ is not staticmethod:
        games.append(T(3))
    return all(len(g.get_tarnel()) == g.get_mode() and g.move_sequence("") is False for g in games)


def child(name, k):
    allocator = preloaded_allocator()
    # The import path must find the module not yet imported: the table itself imports it.
    if name == "import":
        setup, call, expected = dict, lambda c: __import__("vostral"), lambda m: m.__all__ == ["TarnelCore"]
    else:
        setup, call, expected = paths()[name]
    context = setup()
    failed_in = ctypes.create_string_buffer(4096)
    # What the call prints goes to a file of its own.
    with tempfile.TemporaryFile() as printed:
        saved_stderr = os.dup(2)
        sys.stderr.flush()
        os.dup2(printed.fileno(), 2)
        gc.collect()
        gc.disable()  # a collection inside the window would count its own allocations
        # Everything between arming and disarming can meet the failure, the
        # interpreter's own steps included, so all of it sits inside the try.
        try:
            allocator.failing_malloc_arm(k)
            value = call(context)
            how = "returned"
        except BaseException as error:  # noqa: BLE001 (PanicException derives from BaseException only)
            value = error
            how = "raised"
        seen = allocator.failing_malloc_disarm()
        gc.enable()
        allocator.failing_malloc_failed_in(failed_in, len(failed_in))
        sys.stderr.flush()
        os.dup2(saved_stderr, 2)
        printed.seek(0)
        output = printed.read().decode(errors="replace")
    cause = type(value.__cause__).__name__ if how == "raised" and value.__cause__ is not None else None
    if how == "raised":
        value, message = type(value).__name__, str(value)
    if how == "returned":
        ok = expected(value) if callable(expected) else False
        described = "result" if ok else f"unexpected result {value!r:.60}"
    else:
        described = f"{value}: {message}"
        if not callable(expected) and value == expected[0] and (expected[1] is None or message == expected[1]):
            described = f"expected {value}"
    try:
        working = still_working(context)
    except BaseException as error:  # noqa: BLE001 (reported, not judged, here)
        working = f"after {described}: {type(error).__name__}: {error}"
    return {
        "k": k,
        "seen": seen,
        "outcome": described,
        "cause": cause,
        "by module": pathlib.Path(failed_in.value.decode()).name.startswith("vostral."),
        "printed": output,
        "working": working,
    }


def sweep(name, limit):
    read_end, write_end = os.pipe()
    points = []
    for k in range(1, limit + 1):
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                report = child(name, k)
            except BaseException:  # noqa: BLE001 (reported, not judged, here)
                import traceback

                report = {"k": k, "seen": -1, "outcome": "driver failed: " + traceback.format_exc(), "working": False}
            os.write(write_end, (json.dumps(report) + "\n").encode())
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        line = b""
        while not line.endswith(b"\n") and os.WEXITSTATUS(status) == 0 and not os.WIFSIGNALED(status):
            line += os.read(read_end, 65536)
        if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0:
            report = {"k": k, "seen": -1, "outcome": f"died: wait status {status}", "working": False}
        else:
            report = json.loads(line)
        points.append(report)
        print(json.dumps(report), flush=True)
        if 0 <= report["seen"] < k:  # the call made fewer than k allocations: the path is covered
            break
    return points


if __name__ == "__main__":
    sweep(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 5000)
