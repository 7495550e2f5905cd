"""Helpers shared by the Python suites, the fuzz harness and the allocation
sweep: how hard the suites push, the fault class, hostile arguments, the clock
faker, replaying a game's log on the model, and the figures the reliability
script sums up."""

import glob
import os
import platform
import sys
import unicodedata
from dataclasses import dataclass

from reference import OPPOSITE, ReferenceTarnel, solved_board
from solve import is_solvable  # noqa: F401 (the suites import it from here)
from vostral import TarnelCore

SANITIZED = os.environ.get("VOSTRAL_SANITIZED") == "1"
# The wheels' tests also run on macOS, Windows and musl-based Linux, where a
# few measurements (/proc, address-space limits, the C heap's layout) do not
# exist or mean something else.
LINUX = sys.platform.startswith("linux")
GLIBC = LINUX and platform.libc_ver()[0] == "glibc"


def _user_mode_emulator():
    """The user-mode emulator that runs this interpreter, named "qemu-user" (the
    one Debian registers with binfmt_misc), or None on the machine's own processor.

    The emulator tells its guest that the machine is the guest's (uname says
    aarch64), but passes the kernel's own files through, and the kernel says
    which machine it runs on (/proc/sys/kernel/arch, on kernels that have it). A 32-bit
    program that a 64-bit kernel runs natively (i686 on x86_64, armv8l on
    aarch64) is of the kernel's family, and is not emulated."""
    try:
        with open("/proc/sys/kernel/arch") as arch:
            kernel = arch.read().strip()
    except OSError:
        return None
    families = (("i386", "i486", "i586", "i686", "x86_64", "amd64"), ("arm", "aarch64"))

    def family(machine):
        return next((names for names in families if machine.lower().startswith(names)), machine.lower())

    return "qemu-user" if kernel and family(kernel) != family(platform.machine()) else None


# qemu-user runs the ARM stage's suite on an x86-64 machine; the few
# measurements that read the emulator instead of the program skip there.
EMULATOR = _user_mode_emulator() if LINUX else None

# The module's upper-case table follows this version of the character database;
# where the interpreter's differs, only characters whose upper case did not change
# can be compared with the model's str.upper().
TABLE_UNICODE = "13.0.0"
SAME_UNICODE = unicodedata.unidata_version == TABLE_UNICODE
# The messages of the faults that refuse a side.
ZERO_SIDE = "index out of bounds: the len is 0 but the index is 18446744073709551615"
TOO_LARGE = "mode {} is too large: the largest board side is 46340"
# The clock faker's library, where the system has one (glibc-based Linux).
FAKETIME = next(
    iter(glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob("/usr/lib/faketime/libfaketime.so.1")), None
)


@dataclass(frozen=True)
class Scale:
    examples: int  # hypothesis examples per test
    steps: int  # steps per example of a state machine
    thread_calls: int  # calls per thread in the thread stress
    leak_calls: int  # calls per path in the leak hunt
    fuzz_inputs: int  # inputs of the bounded fuzz run


# VOSTRAL_TEST_PROFILE: quick is the everyday tier (and the default), full is
# what CI runs, long is for a patient run by hand.
SCALES = {
    "quick": Scale(examples=100, steps=20, thread_calls=5_000, leak_calls=10_000, fuzz_inputs=2_000),
    "full": Scale(examples=1_000, steps=40, thread_calls=100_000, leak_calls=100_000, fuzz_inputs=20_000),
    "long": Scale(examples=10_000, steps=100, thread_calls=1_000_000, leak_calls=1_000_000, fuzz_inputs=500_000),
}
PROFILE = os.environ.get("VOSTRAL_TEST_PROFILE") or "quick"
if PROFILE not in SCALES:
    raise ValueError(f"VOSTRAL_TEST_PROFILE is {PROFILE!r}; expected one of {', '.join(SCALES)}")
SCALE = SCALES[PROFILE]


class Index:
    """`__index__` gives `value`, or, when it is callable, what `value()` returns or raises."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value


def raise_(error):
    """Raises `error`: for the lambdas an Index calls. Make the error inside the
    lambda, so that each call raises a fresh one (one instance raised again and
    again grows its traceback)."""
    try:
        raise error
    finally:
        # The traceback holds this frame: without the del, every error would be
        # a reference cycle that only the collector frees, and a free-threaded
        # interpreter's heap grows with them between collections.
        del error


class Unprintable:
    """An object whose str() fails."""

    def __str__(self):
        raise RuntimeError("no words for this")


def faketime_env(at):
    """The environment for a child whose clock the faker sets to `at` ("YYYY-MM-DD
    HH:MM:SS", UTC, standing still until the child sets FAKETIME again), the
    sanitizer's runtime, if preloaded, kept first."""
    return {
        "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), FAKETIME])),
        "FAKETIME": at,
        "FAKETIME_NO_CACHE": "1",
        "TZ": "UTC",
    }


def __getattr__(name):
    """PANIC, the class of the exception raised for faults, found on first use
    (it is not a module attribute; a fault makes it): until then nothing here
    has made it, so the allocation sweep can fail its creation within a call."""
    if name != "PANIC":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    try:
        TarnelCore(0)
    except BaseException as error:  # noqa: BLE001 (the fault class is reachable only through a fault)
        globals()["PANIC"] = type(error)
        return type(error)
    raise AssertionError("TarnelCore(0) did not raise")


def effective_moves(board, log):
    """The letters of `log` that moved a tile when played on `board`, and the board they leave."""
    replay = ReferenceTarnel.from_state(board)
    return [ch for ch in log if replay.move_tile(ch) is not None], replay.get_tarnel()


def scramble_path(game):
    """The moves from the solved board to a new game's board, checked by replaying its log."""
    moves, board = effective_moves(solved_board(game.get_mode()), game.get_cmds_str())
    assert board == game.get_tarnel(), "the creation log does not replay to the board"
    return moves


def undo_text(game):
    """The letters that take a new game back to the solved board: the opposites of its
    scramble's moves, last first."""
    return "".join(OPPOSITE[ch] for ch in reversed(scramble_path(game)))


def unsolved_game(mode=4):
    """A new game whose board is not solved, so that a sequence cannot stop at once."""
    while True:
        game = TarnelCore(mode)
        if game.get_tarnel() != solved_board(mode):
            return game


def record_figure(name, value):
    """Adds `value` to the figure `name` in the file that the reliability script sums up."""
    if os.environ.get("VOSTRAL_RELIABILITY_FIGURES"):
        with open(os.environ["VOSTRAL_RELIABILITY_FIGURES"], "a", encoding="utf-8") as figures:
            figures.write(f"{name} {value}\n")
