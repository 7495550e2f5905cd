"""Every call path, swept for single allocation failures: the k-th allocation
of the call fails, for every k the call reaches, each in its own process.
The answer must be the call's own outcome or an exception, never a dead
process, and the interpreter and the game must work afterwards. Which
exception depends on whose allocation failed: the game's own work (or
forming an error) gives MemoryError; a result object that the interpreter
cannot make gives a PanicException, the MemoryError printed first."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from support import GLIBC, SANITIZED

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import allocation_sweep  # noqa: E402

pytestmark = pytest.mark.skipif(
    not GLIBC or shutil.which("g++") is None,
    reason="the failing allocator is preloaded into a glibc process and built with g++",
)

# A result object that cannot be made: the MemoryError is printed, then the
# fault's report, and the call raises the fault.
RESULT_NOT_MADE = "PanicException: Python API call failed"
PRINTED_FIRST = re.compile(r"MemoryError\nthread '<unnamed>' panicked at module/\S+:\d+:\d+:\nPython API call failed\n")
# The paths that make a result object once the game's work is done.
RESULT_OBJECTS = {"get_tarnel", "get_tarnel, 9 x 9", "get_cmds_str", "duration", "import"}
# The paths whose game work asks for memory (a game's board and log; a board's copy).
GAME_ALLOCATES = {"create", "create by keyword", "get_tarnel, 9 x 9"}
# What a failed allocation may make of the import: the import machinery's
# own answers (its lock, the loader), the class that could not be built, and
# the fault for an `__all__` that could not take the class's name.
IMPORT_FAILURES = (
    "RuntimeError: can't allocate lock",
    "ImportError: ",
    "RuntimeError: An error occurred while initializing class TarnelCore",
    "PanicException: could not append __name__ to __all__: ",
)


@pytest.fixture(scope="session")
def failing_malloc(tmp_path_factory):
    library = tmp_path_factory.mktemp("failing-malloc") / "failing_malloc.so"
    subprocess.run(
        [
            "g++",
            "-std=c++20",
            "-O1",
            "-shared",
            "-fPIC",
            "-Wall",
            "-Wextra",
            "-Werror",
            "-o",
            str(library),
            str(HERE / "failing_malloc.cpp"),
            "-ldl",
        ],
        check=True,
    )
    return library


def sweep(failing_malloc, path):
    env = dict(os.environ, PYTHONMALLOC="malloc")
    # First in the search order, so that it sees every request; under the
    # sanitizers it hands them on to their allocator, which must then accept
    # not being first.
    env["LD_PRELOAD"] = " ".join(filter(None, [str(failing_malloc), os.environ.get("LD_PRELOAD")]))
    if SANITIZED:
        env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    completed = subprocess.run(
        [sys.executable, str(HERE / "allocation_sweep.py"), path],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    return [json.loads(line) for line in completed.stdout.splitlines()]


@pytest.mark.parametrize("path", ["import", *allocation_sweep.paths()])
def test_single_allocation_failure_never_kills_the_process(failing_malloc, path, record_property):
    points = sweep(failing_malloc, path)
    final = points[-1]
    # The last run is the path undisturbed: the failure was armed past its end.
    assert 0 <= final["seen"] < final["k"]
    assert final["outcome"] == "result" or final["outcome"].startswith("expected "), final
    allowed = ("expected ", "MemoryError: ", *(IMPORT_FAILURES if path == "import" else ()))
    allowed += (RESULT_NOT_MADE,) if path in RESULT_OBJECTS else ()
    failures = [
        p
        for p in points
        if p["working"] is not True or not (p["outcome"] == "result" or p["outcome"].startswith(allowed))
    ]
    assert not failures, failures[:5]
    # The module's own allocations: the game's work and the errors it forms. The C++
    # runtime's reserve for a thrown exception's memory makes some harmless.
    by_module = [p for p in points if p["by module"]]
    assert path not in GAME_ALLOCATES or any(p["outcome"] == "MemoryError: " for p in by_module)
    wrong = [
        p
        for p in by_module
        if not (p["outcome"] in ("MemoryError: ", "result") or p["outcome"].startswith("expected "))
    ]
    assert not wrong, wrong[:5]
    # A result object that the interpreter could not make, its MemoryError printed first.
    not_made = [p for p in points if p["outcome"] == RESULT_NOT_MADE]
    assert bool(not_made) == (path in RESULT_OBJECTS), f"{len(not_made)} results not made"
    wrong = [p for p in not_made if p["by module"] or not PRINTED_FIRST.fullmatch(p["printed"])]
    assert not wrong, wrong[:5]
    # The class that could not be built is the reason given for a failed import.
    not_built = [p for p in points if p["outcome"].startswith(IMPORT_FAILURES[2])]
    assert all(p["cause"] == "MemoryError" for p in not_built), not_built[:5]
    assert bool(not_built) == (path == "import")
    record_property("allocation points", len(points) - 1)
