import glob
import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import vostral
from support import SANITIZED, TOO_LARGE, ZERO_SIDE
from vostral import TarnelCore

# Gets the fault class in a child process; its fault report ends before the marker.
PANIC_CLASS = """
import os, sys, vostral
try:
    vostral.TarnelCore(0)
except BaseException as error:
    PanicException = type(error)
sys.stderr.write("--- marker ---\\n")
"""


class TestFaults:
    @pytest.mark.parametrize(
        ("mode", "message"),
        [
            (0, ZERO_SIDE),
            (46341, TOO_LARGE.format(46341)),
            (2**61 - 1, TOO_LARGE.format(2**61 - 1)),
            (2**61, "capacity overflow"),
            (2**64 - 1, "capacity overflow"),
        ],
    )
    def test_creation_faults(self, panic_exception, capfd, mode, message):
        with pytest.raises(BaseException) as caught:
            try:
                TarnelCore(mode)
            except Exception:  # noqa: BLE001 (what is checked: no fault is caught by it)
                pytest.fail("the fault was caught by 'except Exception'")
        assert type(caught.value) is panic_exception
        assert caught.value.args == (message,)
        # The report goes to the standard error stream before the exception travels.
        pattern = rf"thread '<unnamed>' panicked at core/game_state\.cpp:\d+:\d+:\n{re.escape(message)}\n"
        assert re.fullmatch(pattern, capfd.readouterr().err)

    def test_panic_exception_class(self, panic_exception):
        assert (panic_exception.__name__, panic_exception.__module__) == ("PanicException", "vostral_runtime")
        assert panic_exception.__bases__ == (BaseException,)
        assert "Like SystemExit, this exception is derived from BaseException" in panic_exception.__doc__
        assert all(value is not panic_exception for value in vars(vostral).values())

    def test_everything_works_after_a_fault(self, panic_exception):
        game = TarnelCore(3)
        board = game.get_tarnel()
        for mode in (0, 2**61):
            with pytest.raises(panic_exception):
                TarnelCore(mode)
        assert game.move_sequence("x") is False
        assert (game.get_cmds_str(), game.get_tarnel(), game.get_mode()) == ("X", board, 3)
        assert TarnelCore(4).get_mode() == 4

    def test_panic_raised_in_python_is_resumed(self, python_subprocess):
        code = (
            PANIC_CLASS
            + """
first = PanicException("x")
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
        assert out == "True True ('x',)\n2\n"
        # A banner, then the Python traceback of the first exception; no new report.
        lines = err.split("--- marker ---\n", 1)[1].splitlines()
        assert "PanicException" in lines[0]
        assert lines[1:3] == ["Python stack trace below:", "Traceback (most recent call last):"]
        # Newer interpreters add the source line under each frame.
        frames = [line for line in lines if line.lstrip().startswith("File ")]
        assert frames[-1].strip().endswith(", in __index__")
        assert lines[-1] == "vostral_runtime.PanicException: x"
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


# How a child leaves room for ordinary work, not for a large board or a log as long
# as a 64 MiB text.
LIMIT_MEMORY = {
    "linux": """
import resource
with open("/proc/self/status") as status:
    address_space = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (address_space + (32 << 20), resource.RLIM_INFINITY))
""",
    # The module's own import of the C library's malloc refuses large blocks.
    "win32": """
import ctypes
sys.path.insert(0, {tests!r})
from windows_imports import ImportReplacement
def limited(size):
    return None if size >= (32 << 20) else malloc.original(size)
malloc = ImportReplacement(vostral.__file__, "malloc", ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_size_t), limited)
""",
}


@pytest.mark.skipif(sys.platform not in LIMIT_MEMORY, reason="no way to limit the memory here")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory defeats an address-space limit")
class TestMemory:
    def test_out_of_memory_is_memory_error_and_leaves_objects_usable(self, python_subprocess):
        limit = LIMIT_MEMORY[sys.platform].format(tests=str(pathlib.Path(__file__).parents[1]))
        code = (
            """
import sys, vostral
game = vostral.TarnelCore(4)
board, log, text = game.get_tarnel(), game.get_cmds_str(), "x" * (64 << 20)
"""
            + limit
            + """
for call in (lambda: vostral.TarnelCore(46340), lambda: vostral.TarnelCore(20000),
             lambda: game.move_sequence(text)):
    try:
        call()
    except MemoryError as error:
        print(type(error).__name__)
print(game.get_tarnel() == board, game.get_cmds_str() == log)
print(game.move_tile("x"), game.get_cmds_str()[-1], vostral.TarnelCore(3).get_mode())
"""
        )
        assert python_subprocess(code) == (0, "MemoryError\n" * 3 + "True True\nNone x 3\n", "")


# How a child sets the module's wall clock to a UTC time "YYYY-MM-DD HH:MM:SS" that then
# stands still, so that no reading depends on how long the child takes between calls;
# and whether the setting took.
SET_CLOCK = {
    # The clock faker, preloaded, reads FAKETIME again on every call; an absolute
    # time without "@" stands still.
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
sys.path.insert(0, {tests!r})
from windows_imports import FakeClock
clock = FakeClock(vostral.__file__, 0)
def set_clock(stamp):
    clock.now = calendar.timegm(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))
def clock_faked(stamp):
    return True
""",
}


@pytest.mark.skipif(SANITIZED, reason="preloading the clock faker next to the sanitizer's runtime hangs the process")
class TestClock:
    def test_creation_and_duration_follow_the_clock(self, python_subprocess):
        if sys.platform == "win32":
            env, seam = {}, SET_CLOCK["windows"].format(tests=str(pathlib.Path(__file__).parents[1]))
        else:
            found = glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob("/usr/lib/faketime/libfaketime.so.1")
            if not found:
                pytest.skip("the clock faker is not installed")
            env = {
                "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), found[0]])),
                "FAKETIME": "2026-01-01 00:00:00",
                "FAKETIME_NO_CACHE": "1",
                "TZ": "UTC",
            }
            seam = SET_CLOCK["faketime"]
        code = (
            PANIC_CLASS
            + seam
            + """
set_clock("2026-01-01 00:00:00")
game = vostral.TarnelCore(4)
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
"""
        )
        try:
            returncode, out, err = python_subprocess(code, env=env, timeout=20)
        except subprocess.TimeoutExpired:
            pytest.skip("the interpreter does not start with the clock faker preloaded")
        lines = out.splitlines()
        if lines[:1] != ["faked"]:
            pytest.skip(f"the clock could not be faked here: {err.strip()[-200:]}")
        assert returncode == 0, err
        # Partial units are dropped; a clock set back before the creation reads as no time.
        assert lines[1:7] == ["1:2:5", "0:0:59", "0:1:0", "25:1:1", "0:0:0", "0:0:0"]
        # Before 1970 both creation and duration fail with the clock fault.
        for line in lines[7:9]:
            amount = re.fullmatch(r"Time went backwards: SystemTimeError\(([0-9]+(?:\.[0-9]+)?)s\)", line)
            assert amount and float(amount[1]) == 3600
        # The fault gave the object's access back: it is still usable.
        assert lines[9:] == ["4 1000 0:0:0"]
