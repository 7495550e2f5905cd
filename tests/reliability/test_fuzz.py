import base64
import importlib.metadata
import os
import pathlib
import re
import signal
import subprocess
import sys

import pytest

from support import SCALE, record_figure

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus"
INPUTS = int(os.environ.get("VOSTRAL_FUZZ_INPUTS") or SCALE.fuzz_inputs)


def run_harness(arguments, tmp_path, env=None):
    """Runs the harness in a process of its own, so that a crash is an exit by a
    signal, and fails with the inputs that broke it. Returns its output."""
    env = {**os.environ, "VOSTRAL_FUZZ_LAST_INPUT": str(tmp_path / "last-input"), **(env or {})}
    with open(tmp_path / "output", "w+b") as output:
        returncode = subprocess.run(
            [sys.executable, str(HERE / "fuzz_surface.py"), *arguments],
            env=env,
            stdout=output,
            stderr=subprocess.STDOUT,
            check=False,
        ).returncode
        output.seek(0)
        text = output.read().decode(errors="replace")
    if returncode != 0:
        record_figure("crashes", int(returncode < 0))
        what = (
            f"crashed ({signal.Signals(-returncode).name})" if returncode < 0 else f"failed (exit status {returncode})"
        )
        found = [tmp_path / "last-input", *tmp_path.glob("crash-*"), *tmp_path.glob("timeout-*")]
        inputs = "\n".join(f"{p.name}: {base64.b64encode(p.read_bytes()).decode()}" for p in found if p.exists())
        pytest.fail(
            f"the fuzz harness {what}; inputs in base64, the last one run first:\n{inputs}\n{text[-5000:]}",
            pytrace=False,
        )
    return text


def test_corpus_replays_cleanly(tmp_path):
    inputs = sorted(CORPUS.iterdir())
    assert len(inputs) >= 20
    assert f"replayed {len(inputs)} inputs" in run_harness(["--replay", *map(str, inputs)], tmp_path)
    record_figure("fuzz_inputs", len(inputs))


def test_bounded_fuzz_run(tmp_path):
    # The reliability script points here a build with coverage of the native code
    # and the address and undefined-behaviour checks; else the module under test.
    env = {}
    if os.environ.get("VOSTRAL_FUZZ_PYTHONPATH"):
        env = {
            "PYTHONPATH": os.environ["VOSTRAL_FUZZ_PYTHONPATH"],
            "LD_PRELOAD": os.environ["VOSTRAL_FUZZ_PRELOAD"],
            "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1",
            "UBSAN_OPTIONS": "abort_on_error=1:print_stacktrace=1",
        }
    # A counted amount, so that a slow or loaded machine fuzzes as much, only longer.
    try:
        importlib.metadata.version("atheris")
    except importlib.metadata.PackageNotFoundError:
        arguments = ["--random", str(INPUTS)]
    else:
        (tmp_path / "found").mkdir()
        # Signals are left to kill the process; new inputs go to a scratch directory.
        # The per-input limit catches a hang, not a slow input.
        arguments = [
            f"-runs={INPUTS}",
            "-timeout=600",
            "-rss_limit_mb=4096",
            f"-artifact_prefix={tmp_path}/",
            *(f"-handle_{name}=0" for name in ("segv", "bus", "abrt", "ill", "fpe")),
            str(tmp_path / "found"),
            str(CORPUS),
        ]
    runs = re.search(r"Done (\d+) runs", run_harness(arguments, tmp_path, env))
    assert runs, "the harness did not say how many inputs it ran"
    record_figure("fuzz_inputs", int(runs[1]))
    assert int(runs[1]) >= INPUTS, f"the harness ran {runs[1]} inputs of the {INPUTS} asked for"
