import atexit
import os
import pathlib
import shutil
import sys
import tempfile

import pytest
from hypothesis import HealthCheck, settings
from hypothesis.configuration import set_hypothesis_home_dir

import vostral

# The plain Python model lives with the benchmarks; the helpers beside us.
HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parents[1] / "benchmarks"), str(HERE)]

# No example database and a throw-away home: nothing is left in the checkout.
_home = tempfile.mkdtemp(prefix="vostral-reliability-")
atexit.register(shutil.rmtree, _home, ignore_errors=True)
set_hypothesis_home_dir(_home)
_common = {"database": None, "deadline": None, "suppress_health_check": [HealthCheck.too_slow]}
settings.register_profile("ci", max_examples=1000, stateful_step_count=40, **_common)
settings.register_profile("long", max_examples=10000, stateful_step_count=100, **_common)
settings.load_profile(os.environ.get("VOSTRAL_RELIABILITY_PROFILE", "ci"))


def pytest_report_header(config):
    return [f"vostral: {vostral.__file__}", f"profile: {settings.default.max_examples} examples"]


@pytest.fixture(scope="session")
def panic_exception():
    """The class raised for faults; it is reachable only through a fault."""
    try:
        vostral.TarnelCore(0)
    except BaseException as error:  # derives from BaseException only
        return type(error)
    pytest.fail("TarnelCore(0) did not raise")
