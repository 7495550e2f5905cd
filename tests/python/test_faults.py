import re
import sys
import sysconfig

import pytest

import vostral
from support import EMULATOR, FAKETIME, PANIC, SANITIZED, TOO_LARGE, ZERO_SIDE, faketime_env
from vostral import TarnelCore

# Gets the fault class in a child process; its fault report ends before the marker.
PANIC_CLASS = """
import gc, os, sys, threading, vostral
from support import PANIC as PanicException
sys.stderr.write("--- marker ---\\n")
"""
# The result object of a call could not be made: the MemoryError is printed first.
RESULT_NOT_MADE = "PanicException: Python API call failed"


class TestFaults:
    @pytest.mark.parametrize(
        ("mode", "message"),
        [
            (0, ZERO_SIDE),
            (False, ZERO_SIDE),
            (46341, TOO_LARGE.format(46341)),
            (2**61 - 1, TOO_LARGE.format(2**61 - 1)),
            (2**61, "capacity overflow"),
            (2**64 - 1, "capacity overflow"),
        ],
    )
    def test_creation_faults(self, capfd, mode, message):
        with pytest.raises(BaseException) as caught:
            try:
                TarnelCore(mode)
            except Exception:  # noqa: BLE001 (what is checked: no fault is caught by it)
                pytest.fail("the fault was caught by 'except Exception'")
        assert type(caught.value) is PANIC
        assert caught.value.args == (message,)
        # The report goes to the standard error stream before the exception travels.
        pattern = rf"thread '<unnamed>' panicked at core/game_state\.cpp:\d+:\d+:\n{re.escape(message)}\n"
        assert re.fullmatch(pattern, capfd.readouterr().err)

    def test_panic_exception_class(self):
        assert (PANIC.__name__, PANIC.__module__) == ("PanicException", "vostral_runtime")
        assert PANIC.__bases__ == (BaseException,)
        assert "Like SystemExit, this exception is derived from BaseException" in PANIC.__doc__
        assert all(value is not PANIC for value in vars(vostral).values())

    # A panic whose str() fails still resumes, with a fixed message of its own.
    @pytest.mark.parametrize(
        ("argument", "args", "shown"),
        [
            ('"x"', "('x',)", "x"),
            ("Unprintable()", "('Unwrapped panic from Python code',)", "<exception str() failed>"),
        ],
    )
    def test_panic_raised_in_python_is_resumed(self, python_subprocess, argument, args, shown):
        code = (
            PANIC_CLASS
            + f"""
from support import Unprintable
first = PanicException({argument})
"""
            + """
class Panicking:
    def __index__(self):
        raise first
try:
    vostral.TarnelCore(Panicking())
except BaseException as error:
    print(type(error) is PanicException, error is not first, error.args)
print(vostral.TarnelCore(2).get_mode())
"""
        )
        returncode, out, err = python_subprocess(code)
        assert returncode == 0, err
        assert out == f"True True {args}\n2\n"
        # A banner, then the Python traceback of the first exception; no new report.
        lines = err.split("--- marker ---\n", 1)[1].splitlines()
        assert "PanicException" in lines[0]
        assert lines[1:3] == ["Python stack trace below:", "Traceback (most recent call last):"]
        # Newer interpreters add the source line under each frame.
        frames = [line for line in lines if line.lstrip().startswith("File ")]
        assert frames[-1].strip().endswith(", in __index__")
        assert lines[-1] == f"vostral_runtime.PanicException: {shown}"
        assert not [line for line in lines if "panicked at" in line]


class TestSubinterpreter:
    def test_second_interpreter_is_refused(self, python_subprocess):
        # A legacy (shared-GIL) interpreter, so that the import reaches the
        # module's own check: newer interpreters refuse single-phase modules in
        # isolated ones before it runs. The private module's name and API
        # changed over the versions.
        code = """
            import importlib, sys
            import vostral
            # From its file, past any import hook (an editable install's
            # rebuild check cannot start processes in a subinterpreter).
            load_module = (
                "import importlib.util as util; "
                f"util.module_from_spec(util.spec_from_file_location('vostral', {vostral.__file__!r}))"
            )
            try:
                import _interpreters as interpreters
                failure = interpreters.run_string(interpreters.create("legacy"), load_module)
                print(f"<class '{failure.type.__name__}'>: {failure.msg}")
            except ImportError:
                import _xxsubinterpreters as interpreters
                make = {"isolated": False} if sys.version_info >= (3, 12) else {}
                try:
                    interpreters.run_string(interpreters.create(**make), load_module)
                except interpreters.RunFailedError as error:
                    print(error)
            del sys.modules["vostral"]
            print(importlib.import_module("vostral") is vostral, vostral.TarnelCore(2).get_mode())
        """
        returncode, out, err = python_subprocess(code)
        assert returncode == 0, err
        refused, again = out.splitlines()
        assert refused.startswith("<class 'ImportError'>: ")
        # Free-threaded builds check every legacy interpreter's extensions
        # themselves, so their refusal comes before the module's.
        if sysconfig.get_config_var("Py_GIL_DISABLED"):
            assert "module vostral does not support loading in subinterpreters" in refused
        else:
            assert "modules do not yet support subinterpreters" in refused
        assert again == "True 2"


# How a child limits memory (limit(), unlimit()): room for ordinary work, not
# for a large board, a log as long as a 64 MiB text or the lists of a 2000 x
# 2000 board.
LIMIT_MEMORY = {
    "linux": """
import resource
def limit():
    with open("/proc/self/status") as status:
        address_space = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (address_space + (48 << 20), resource.RLIM_INFINITY))
def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
""",
    # The module's own import of the C library's malloc refuses large blocks;
    # the interpreter's own memory is not limited, so a board's lists are made.
    "win32": """
import ctypes
from windows_imports import ImportReplacement
def limit():
    global malloc
    prototype = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_size_t)
    malloc = ImportReplacement(vostral.__file__, "malloc", prototype, lambda n: None if n >= 32 << 20 else malloc.original(n))
def unlimit():
    malloc.restore()
""",
}


@pytest.mark.skipif(sys.platform not in LIMIT_MEMORY, reason="no way to limit the memory here")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory defeats an address-space limit")
@pytest.mark.skipif(EMULATOR == "qemu-user", reason="qemu-user accepts an address-space limit and applies none")
class TestMemory:
    def test_out_of_memory_leaves_every_game_and_the_interpreter_working(self, python_subprocess):
        # No exception passes through the module before the limit: the first one on
        # each fresh thread, and the fault class itself, meet the exhausted heap.
        code = (
            """
import gc, sys, threading, vostral
games = [vostral.TarnelCore(n) for n in (1, 3, 4, 6)]
states = [(g.get_tarnel(), g.get_cmds_str()) for g in games]
big, text = vostral.TarnelCore(2000), "x" * (64 << 20)
calls = {"create 46340": lambda: vostral.TarnelCore(46340), "create 20000": lambda: vostral.TarnelCore(20000),
         "move_sequence": lambda: games[2].move_sequence(text), "get_tarnel": lambda: big.get_tarnel() and None}
outcomes, turns = {name: set() for name in calls}, [threading.Event() for _ in range(4)]
def run_out(turn):
    turns[turn].wait()
    for name, call in calls.items():
        try:
            outcomes[name].add("result" if call() is None else "?")
        except BaseException as error:
            outcomes[name].add(f"{type(error).__name__}: {error}")
# Started while there is room for their stacks; daemons, so that a failure
# before their turns ends the child instead of leaving it waiting for them.
threads = [threading.Thread(target=run_out, args=(turn,), daemon=True) for turn in range(len(turns))]
[thread.start() for thread in threads]
"""
            + LIMIT_MEMORY[sys.platform]
            + """
limit()
for turn, thread in zip(turns, threads):
    turn.set(), thread.join()
unlimit()
print({name: sorted(seen) for name, seen in outcomes.items()})
assert [(g.get_tarnel(), g.get_cmds_str()) for g in games] == states
assert big.get_mode() == 2000 and len(big.get_tarnel()) == 2000
for game in games:
    game.move_sequence("ulDR")
    assert sorted(sum(game.get_tarnel(), [])) == list(range(game.get_mode() ** 2))
thread = threading.Thread(target=lambda: vostral.TarnelCore(4).move_tile("U"))
thread.start(), thread.join(), gc.collect()
"""
        )
        returncode, out, err = python_subprocess(code, timeout=300)
        assert returncode == 0, err
        outcomes = eval(out)
        # The game's own work ran out: a MemoryError, nothing printed.
        for name in ("create 46340", "create 20000", "move_sequence"):
            assert outcomes[name] == ["MemoryError: "], outcomes
        # A board's lists that cannot be made are a fault, after the MemoryError is printed;
        # forming that fault can run out of memory too.
        if sys.platform == "win32":
            assert outcomes["get_tarnel"] == ["result"], outcomes
            assert err == ""
        else:
            # A free-threaded interpreter's allocator reserved its arenas' address
            # space before the limit, so its objects may still be made within it.
            made = {"result"} if sysconfig.get_config_var("Py_GIL_DISABLED") else set()
            assert set(outcomes["get_tarnel"]) <= {"MemoryError: ", RESULT_NOT_MADE, *made}, outcomes
            if RESULT_NOT_MADE in outcomes["get_tarnel"]:
                # Printing it may run out of memory in turn: the interpreter then says so.
                printed = r"^(MemoryError|lost sys\.stderr)\n(.*\n)*Python API call failed$"
                assert re.search(printed, err, re.MULTILINE), err


# How a child sets the module's wall clock to a UTC time "YYYY-MM-DD HH:MM:SS"
# that then stands still, so that no reading depends on how long the child
# takes between calls; and whether the setting took.
SET_CLOCK = {
    # The clock faker, preloaded, reads FAKETIME again on every call.
    "faketime": """
import calendar, time
def set_clock(stamp):
    os.environ["FAKETIME"] = stamp
def clock_faked(stamp):
    return time.time() == calendar.timegm(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))
""",
    # The module's own import of the system clock, replaced; the interpreter keeps the real one.
    "windows": """
import calendar, time
from windows_imports import FakeClock
clock = FakeClock(vostral.__file__, 0)
def set_clock(stamp):
    clock.now = calendar.timegm(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))
def clock_faked(stamp):
    return True
""",
}


@pytest.mark.skipif(SANITIZED, reason="preloading the clock faker next to the sanitizer's runtime hangs the process")
@pytest.mark.skipif(sys.platform != "win32" and FAKETIME is None, reason="the clock faker is not installed")
class TestClock:
    def test_creation_and_duration_follow_the_clock(self, python_subprocess):
        if sys.platform == "win32":
            env, seam = {}, SET_CLOCK["windows"]
        else:
            env, seam = faketime_env("2026-01-01 00:00:00"), SET_CLOCK["faketime"]
        code = (
            PANIC_CLASS
            + seam
            + """
set_clock("2026-01-01 00:00:00")
game, other = vostral.TarnelCore(4), vostral.TarnelCore(3)
state = (other.get_tarnel(), other.get_cmds_str())
set_clock("2026-01-01 01:02:05")
print("faked" if clock_faked("2026-01-01 01:02:05") else "not faked")
for now in ["01:02:05", "00:00:59", "00:01:00", "2026-01-02 01:01:01", "2025-12-31 23:00:00", "00:00:00"]:
    set_clock(now if " " in now else "2026-01-01 " + now)
    print(game.duration())
set_clock("1969-12-31 23:00:00")
for call in (lambda: vostral.TarnelCore(4), game.duration):
    try:
        call()
    except PanicException as error:
        print(error)
set_clock("2026-01-01 00:00:00")
print(game.get_mode(), len(game.get_cmds_str()), game.duration())
assert (other.get_tarnel(), other.get_cmds_str()) == state and other.move_tile("x") is None
thread = threading.Thread(target=lambda: vostral.TarnelCore(4).move_tile("U"))
thread.start(), thread.join(), gc.collect()
"""
        )
        # No timeout of its own: a slow machine must not decide the verdict.
        returncode, out, err = python_subprocess(code, env=env, timeout=None)
        lines = out.splitlines()
        assert lines[:1] == ["faked"], err
        assert returncode == 0, err
        # Partial units are dropped; a clock set back before the creation reads as no time.
        assert lines[1:7] == ["1:2:5", "0:0:59", "0:1:0", "25:1:1", "0:0:0", "0:0:0"]
        # Before 1970 both creation and duration fail with the clock fault.
        assert lines[7:9] == ["Time went backwards: SystemTimeError(3600s)"] * 2
        # The fault gave the object's access back: it, and every other game, is still usable.
        assert lines[9:] == ["4 1000 0:0:0"]
