"""Shared by every Python suite under tests/: import paths, the profile's
hypothesis settings and a fresh interpreter to run code in."""

import atexit
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest
from hypothesis import HealthCheck, settings
from hypothesis.configuration import set_hypothesis_home_dir

TESTS = pathlib.Path(__file__).resolve().parent
# The model and helpers beside us; the example solver, whose solvability test the suites use.
HELPER_PATHS = [str(TESTS), str(TESTS.parent / "examples")]
sys.path[:0] = HELPER_PATHS

import vostral  # noqa: E402
from support import PROFILE, SANITIZED, SCALES  # noqa: E402

# No example database and a throw-away home for the engine's caches: the
# suites must not leave files behind in the checkout.
_hypothesis_home = tempfile.mkdtemp(prefix="vostral-hypothesis-")
atexit.register(shutil.rmtree, _hypothesis_home, ignore_errors=True)
set_hypothesis_home_dir(_hypothesis_home)
for _name, _scale in SCALES.items():
    settings.register_profile(
        _name,
        database=None,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
        max_examples=_scale.examples,
        stateful_step_count=_scale.steps,
    )
settings.load_profile(PROFILE)


def pytest_report_header(config):
    return [
        f"vostral: {vostral.__file__}",
        f"profile: {PROFILE} ({settings.default.max_examples} examples); sanitized: {'yes' if SANITIZED else 'no'}",
    ]


def run_python(code, env=None, timeout=60):
    """Runs `code` in a new interpreter with this one's executable and environment
    (LD_PRELOAD included, and PYTHONPATH with the helpers of tests/ in front), plus
    `env`. Returns (returncode, stdout, stderr)."""
    path = os.pathsep.join(filter(None, [*HELPER_PATHS, os.environ.get("PYTHONPATH")]))
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env={**os.environ, "PYTHONPATH": path, **(env or {})},
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )
    return completed.returncode, completed.stdout, completed.stderr


@pytest.fixture
def python_subprocess():
    return run_python
