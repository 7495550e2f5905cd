"""Reference counts and memory over many calls of every path through the module,
successful and failing; and the memory one game holds. The number of calls follows
the profile."""

import contextlib
import gc
import itertools
import os
import subprocess
import sys
import tracemalloc

import pytest

from support import EMULATOR, GLIBC, LINUX, PANIC, SANITIZED, SCALE, SCALES, Index, Unprintable, raise_, record_figure
from vostral import TarnelCore

# Under the sanitizers only reference counts are compared: their allocator holds
# freed memory back, so memory grows anyway. A reference leak shows after one
# call, so the quick profile's count is enough there.
CALLS = SCALES["quick"].leak_calls if SANITIZED else SCALE.leak_calls
WARM_UP, TRACED_WARM_UP = CALLS // 5, CALLS // 20
# A leak of one small block per call over the 75,000 measured calls of the full
# profile exceeds either; the quick profile's 7,500 catch larger ones.
RESIDENT_TOLERANCE, TRACED_TOLERANCE = 512 << 10, 64 << 10


def resident():
    """The process's own memory: resident bytes on Linux (/proc), committed private
    bytes on Windows (which a leak grows as surely, and which the system does not
    trim as it does the working set); 0 elsewhere."""
    if LINUX:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    if sys.platform == "win32":
        return _private_bytes()
    return 0


if sys.platform == "win32":
    import ctypes
    from ctypes import wintypes

    class _MemoryCounters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS_EX
        _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD)] + [
            (name, ctypes.c_size_t)
            for name in (
                "PeakWorkingSetSize",
                "WorkingSetSize",
                "QuotaPeakPagedPoolUsage",
                "QuotaPagedPoolUsage",
                "QuotaPeakNonPagedPoolUsage",
                "QuotaNonPagedPoolUsage",
                "PagefileUsage",
                "PeakPagefileUsage",
                "PrivateUsage",
            )
        ]

    _kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    _kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    _kernel32.K32GetProcessMemoryInfo.argtypes = [wintypes.HANDLE, ctypes.POINTER(_MemoryCounters), wintypes.DWORD]

    def _private_bytes():
        counters = _MemoryCounters(cb=ctypes.sizeof(_MemoryCounters))
        if not _kernel32.K32GetProcessMemoryInfo(_kernel32.GetCurrentProcess(), ctypes.byref(counters), counters.cb):
            raise ctypes.WinError(ctypes.get_last_error())
        return counters.PrivateUsage


@contextlib.contextmanager
def quiet():
    """Faults write a report, the resume path a traceback and an unprintable
    message an unraisable error, on every call: 10^5 of them go nowhere."""
    saved, sink, python_stderr, hook = os.dup(2), os.open(os.devnull, os.O_WRONLY), sys.stderr, sys.unraisablehook
    with open(os.devnull, "w") as devnull:
        sys.stderr, sys.unraisablehook = devnull, lambda unraisable: None
        os.dup2(sink, 2)
        try:
            yield
        finally:
            sys.stderr, sys.unraisablehook = python_stderr, hook
            os.dup2(saved, 2)
            os.close(saved), os.close(sink)


def caused_type_error():
    error = TypeError("not today")
    error.__cause__ = KeyError("why")
    return error


GAME, TINY, BIG, CAPACITY, TEXT, SURROGATE_TEXT = TarnelCore(4), TarnelCore(1), 2**64, 2**61, "ulDR" * 8, "UD\udfff"
OBJECT, INDEX_0, INDEX_3, INDEX_VALUE_ERROR = object(), Index(0), Index(3), Index(lambda: raise_(ValueError()))
INDEX_PANIC = Index(lambda: raise_(PANIC("x")))
INDEX_UNPRINTABLE = Index(lambda: raise_(TypeError(Unprintable())))
INDEX_CAUSED = Index(lambda: raise_(caused_type_error()))
# (name, call, expected exception or None, objects whose reference counts must not move)
PATHS = [
    ("create", lambda: TarnelCore(4), None, ()),
    ("create by keyword through __index__", lambda: TarnelCore(mode=INDEX_3), None, (INDEX_3,)),
    ("move_tile", lambda: (GAME.move_tile("U"), GAME.move_tile("d")), None, ("U", "d")),
    ("move_sequence", lambda: GAME.move_sequence(sequence=TEXT), None, (TEXT,)),
    ("move_sequence solving", lambda: TINY.move_sequence("\ufb02"), None, ()),
    ("get_tarnel", GAME.get_tarnel, None, ()),
    ("get_cmds_str", GAME.get_cmds_str, None, ()),
    ("get_mode", GAME.get_mode, None, ()),
    ("duration", GAME.duration, None, ()),
    ("missing argument", lambda: TarnelCore(), TypeError, ()),
    ("surplus argument", lambda: TarnelCore(OBJECT, OBJECT), TypeError, (OBJECT,)),
    ("surplus argument to a method", lambda: GAME.move_tile(OBJECT, OBJECT), TypeError, (OBJECT,)),
    ("multiple values", lambda: GAME.move_sequence(TEXT, sequence=TEXT), TypeError, (TEXT,)),
    ("multiple values, one letter", lambda: GAME.move_tile(OBJECT, direction=OBJECT), TypeError, (OBJECT,)),
    ("unexpected keyword", lambda: TarnelCore(size=INDEX_3), TypeError, (INDEX_3,)),
    ("unexpected keyword after a bound one", lambda: TarnelCore(mode=OBJECT, size=OBJECT), TypeError, (OBJECT,)),
    (
        "unexpected keyword after a bound one, method",
        lambda: GAME.move_sequence(sequence=OBJECT, other=OBJECT),
        TypeError,
        (OBJECT,),
    ),
    ("keyword without UTF-8", lambda: GAME.move_tile(**{"\udc80": "U"}), TypeError, ()),
    ("mode not an integer", lambda: TarnelCore(TEXT), TypeError, (TEXT,)),
    ("mode negative", lambda: TarnelCore(-1), OverflowError, ()),
    ("mode too wide", lambda: TarnelCore(BIG), OverflowError, (BIG,)),
    ("__index__ TypeError with a cause", lambda: TarnelCore(INDEX_CAUSED), TypeError, (INDEX_CAUSED,)),
    ("__index__ unprintable TypeError", lambda: TarnelCore(INDEX_UNPRINTABLE), TypeError, (INDEX_UNPRINTABLE,)),
    ("__index__ ValueError", lambda: TarnelCore(INDEX_VALUE_ERROR), ValueError, (INDEX_VALUE_ERROR,)),
    ("direction not a str", lambda: GAME.move_tile(INDEX_3), TypeError, (INDEX_3,)),
    ("direction too long", lambda: GAME.move_tile(TEXT), ValueError, (TEXT,)),
    ("sequence not a str", lambda: GAME.move_sequence(OBJECT), TypeError, (OBJECT,)),
    ("direction surrogate", lambda: GAME.move_tile("\ud800"), UnicodeEncodeError, ()),
    ("sequence surrogate", lambda: GAME.move_sequence(SURROGATE_TEXT), UnicodeEncodeError, (SURROGATE_TEXT,)),
    ("fault: mode 0", lambda: TarnelCore(0), PANIC, ()),
    ("fault: side too large", lambda: TarnelCore(46341), PANIC, ()),
    ("fault: capacity", lambda: TarnelCore(CAPACITY), PANIC, (CAPACITY,)),
    ("fault: zero through __index__", lambda: TarnelCore(INDEX_0), PANIC, (INDEX_0,)),
    ("fault: resumed from __index__", lambda: TarnelCore(INDEX_PANIC), PANIC, (INDEX_PANIC,)),
    # Python's method descriptor refuses these before the module's own receiver check.
    ("unbound read, foreign receiver", lambda: TarnelCore.get_mode(TEXT), TypeError, (TEXT,)),
    ("unbound move, foreign receiver", lambda: TarnelCore.move_tile(TEXT, "U"), TypeError, (TEXT,)),
    ("read given an argument", lambda: GAME.get_tarnel(TEXT), TypeError, (TEXT,)),
]


def run(call, expected, count):
    if expected is None:
        for _ in itertools.repeat(None, count):
            call()
        return
    for _ in itertools.repeat(None, count):
        try:
            call()
        except expected:
            pass


@pytest.mark.parametrize(("call", "expected", "arguments"), [p[1:] for p in PATHS], ids=[p[0] for p in PATHS])
def test_no_growth_over_many_calls(call, expected, arguments):
    counted, singletons, log = (TarnelCore, PANIC, GAME, *arguments), (None, True, False), len(GAME.get_cmds_str())
    with quiet():
        gc.collect()
        counts, singleton_counts = [sys.getrefcount(o) for o in counted], [sys.getrefcount(o) for o in singletons]
        run(call, expected, WARM_UP)
        tracemalloc.start()
        try:
            run(call, expected, TRACED_WARM_UP)
            gc.collect()
            traced, rss = tracemalloc.get_traced_memory()[0], resident()
            run(call, expected, CALLS - WARM_UP - TRACED_WARM_UP)
            gc.collect()
            traced, rss = tracemalloc.get_traced_memory()[0] - traced, resident() - rss
        finally:
            tracemalloc.stop()
    record_figure("leak_calls", CALLS)
    assert [sys.getrefcount(o) for o in counted] == counts
    # The singletons are shared with the interpreter: only a leak per call shows.
    # From 3.12 on they are immortal, and their counts say nothing: from 3.14 on
    # the increments of a stable-ABI module built for 3.10 are not undone.
    if sys.version_info < (3, 12):
        assert all(abs(sys.getrefcount(o) - c) < 1000 for o, c in zip(singletons, singleton_counts, strict=True))
    if SANITIZED:
        return
    assert traced < TRACED_TOLERANCE, f"{traced} bytes more on the Python heap"
    # A log that grows on purpose (move_tile) may double its buffer once.
    assert rss < RESIDENT_TOLERANCE + 2 * (len(GAME.get_cmds_str()) - log), f"{rss} bytes more resident"


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="only a debug CPython counts every reference")
def test_reference_and_block_totals_stay_flat_on_a_debug_interpreter():
    """As CPython's own hunt (-R) does: after a warm-up, rounds of calls of each
    path; a leak raises the interpreter's reference total or its count of
    allocated blocks in every round, where a cache filling up does not."""
    rounds, calls = 4, 200

    def deltas(call, expected):
        run(call, expected, calls)
        seen = []
        for _ in range(rounds):
            gc.collect()
            refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
            run(call, expected, calls)
            gc.collect()
            seen.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
        return seen

    leaking = {}
    with quiet():
        # What the measuring itself adds (the readings it keeps) is no leak.
        floor = deltas(lambda: None, None)
        for name, call, expected, _ in PATHS:
            seen = [(r - r0, b - b0) for (r, b), (r0, b0) in zip(deltas(call, expected), floor, strict=True)]
            if all(r > 0 for r, _ in seen) or all(b > 0 for _, b in seen):
                leaking[name] = seen
    assert not leaking, f"(references, blocks) more per round of {calls} calls: {leaking}"


MEMORY_OF_GAMES = """
import re, tracemalloc, vostral
def heap():
    total, inside = 0, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            if re.match(r"[0-9a-f]+-[0-9a-f]+ ", line):
                inside = line.rstrip().endswith("[heap]")
            elif inside and line.startswith("Rss:"):
                total += int(line.split()[1]) * 1024
    return total
games = [vostral.TarnelCore(64) for _ in range(1000)] + [None] * 2000
before = heap()
for i in range(1000, 2000):
    games[i] = vostral.TarnelCore(64)
native = (heap() - before) / 1000
tracemalloc.start()
before = tracemalloc.get_traced_memory()[0]
for i in range(2000, 3000):
    games[i] = vostral.TarnelCore(64)
print(native, (tracemalloc.get_traced_memory()[0] - before) / 1000, len(games[0].get_cmds_str()))
"""


@pytest.mark.skipif(not GLIBC, reason="measures the growth of glibc's heap mapping in /proc")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator does not use the C heap measured here")
@pytest.mark.skipif(EMULATOR == "qemu-user", reason="under qemu-user, /proc/self/smaps shows the emulator's heap")
def test_memory_of_one_game():
    """A game of side n holds its board (4·n² bytes), its log and at most 256 bytes more.

    Measured in a fresh process over 1000 games of side 64, after 1000 others
    warmed the heap: boards and log are C++ allocations, seen as the growth of
    the C heap's resident size (the allocator's block headers included); the
    object itself comes from the interpreter's allocator, seen by tracemalloc."""
    out = subprocess.run([sys.executable, "-c", MEMORY_OF_GAMES], capture_output=True, text=True, check=True).stdout
    native, python, log = map(float, out.split())
    record_figure("game_bytes", int(native + python))
    assert native >= 4 * 64 * 64, "the board was not seen: the measurement is broken"
    assert native + python <= 4 * 64 * 64 + log + 256, (native, python)
