import atexit
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest
from hypothesis import settings
from hypothesis.configuration import set_hypothesis_home_dir

import vostral

REPO = pathlib.Path(__file__).resolve().parents[2]
# The plain Python model lives with the benchmarks that measure against it.
sys.path.insert(0, str(REPO / "benchmarks"))

SANITIZED = os.environ.get("VOSTRAL_SANITIZED") == "1"

# No example database and a throw-away home for the engine's caches: the
# suite must not leave files behind in the checkout.
_hypothesis_home = tempfile.mkdtemp(prefix="vostral-hypothesis-")
atexit.register(shutil.rmtree, _hypothesis_home, ignore_errors=True)
set_hypothesis_home_dir(_hypothesis_home)
settings.register_profile("vostral", database=None, deadline=None, max_examples=200)
settings.load_profile("vostral")


def pytest_report_header(config):
    return [f"vostral: {vostral.__file__}", f"VOSTRAL_SANITIZED: {'set' if SANITIZED else 'not set'}"]


@pytest.fixture(scope="session")
def panic_exception():
    """The class of the exception raised for faults; it is not a module attribute."""
    try:
        vostral.TarnelCore(0)
    except BaseException as error:  # the class derives from BaseException only
        return type(error)
    pytest.fail("TarnelCore(0) did not raise")


def run_python(code, env=None, timeout=60):
    """Runs `code` in a new interpreter with this one's executable and environment
    (PYTHONPATH and LD_PRELOAD included), plus `env`. Returns (returncode, stdout, stderr)."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env={**os.environ, **(env or {})}, capture_output=True, text=True, timeout=timeout, check=False,
    )
    return completed.returncode, completed.stdout, completed.stderr


@pytest.fixture
def python_subprocess():
    return run_python
