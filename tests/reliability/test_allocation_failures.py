"""Every call path, swept for single allocation failures: the k-th allocation
of the call fails, for every k the call reaches, each in its own process.
The answer must be the call's own outcome or an exception (MemoryError, or
the PanicException that a failed result object becomes), never a dead
process, and the interpreter and the game must work afterwards."""

import json
import os
import pathlib
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

# What a failed allocation may turn a call into besides MemoryError: a result
# object that cannot be made is printed and raised as this fault.
RESULT_NOT_MADE = "PanicException: Python API call failed"
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
    allowed = ("expected ", "MemoryError: ", RESULT_NOT_MADE, *(IMPORT_FAILURES if path == "import" else ()))
    failures = [
        p
        for p in points
        if p["working"] is not True or not (p["outcome"] == "result" or p["outcome"].startswith(allowed))
    ]
    assert not failures, failures[:5]
    record_property("allocation points", len(points) - 1)
