"""The type information shipped as the stub-only package `vostral-stubs`, checked
against the module under test. stubtest compares the stub with the runtime (names,
`__all__`, parameters and their kinds, finality); mypy then checks the stub itself
strictly, and a client as a user's type checker sees it: the exact type of every
result, and the misuse it must reject."""

import ast
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import vostral

REPO = pathlib.Path(__file__).resolve().parents[2]
CHECKOUT_STUB = REPO / "stubs" / "vostral-stubs" / "__init__.pyi"
# The wheel puts the stub package beside the module, in the same site-packages.
INSTALLED_STUB = pathlib.Path(vostral.__file__).resolve().parent / "vostral-stubs" / "__init__.pyi"
INSTALLED = INSTALLED_STUB.is_file()
STUB = INSTALLED_STUB if INSTALLED else CHECKOUT_STUB
CLIENT = pathlib.Path(__file__).with_name("client.py")
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*  \[(?P<code>[a-z-]+)\]$")


@pytest.fixture
def mypy(tmp_path):
    """Runs `python -m <tool> <arguments>` in a scratch directory, where no project
    configuration applies. An installed module's stub is found as a user's checker
    finds it, beside the module; a module built in a tree carries none, so the
    checkout's stub is put on the search path. Returns (status, output)."""
    env = {key: value for key, value in os.environ.items() if key not in ("MYPYPATH", "MYPY_CACHE_DIR")}
    if not INSTALLED:
        (tmp_path / "stub").mkdir()
        shutil.copyfile(CHECKOUT_STUB, tmp_path / "stub" / "vostral.pyi")
        env["MYPYPATH"] = str(tmp_path / "stub")

    def run(tool, *arguments):
        completed = subprocess.run(
            [sys.executable, "-m", tool, *arguments],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
            check=False,
        )
        return completed.returncode, completed.stdout + completed.stderr

    return run


def test_stub_agrees_with_the_module(mypy):
    assert mypy("mypy.stubtest", "vostral") == (0, "Success: no issues found in 1 module\n")


def test_stub_is_strictly_typed_and_documented(mypy, tmp_path):
    # Checked in full under the module's own name: mypy checks an installed
    # stub only for what its importers use.
    shutil.copyfile(STUB, tmp_path / "vostral.pyi")
    assert mypy("mypy", "--strict", "--no-error-summary", "vostral.pyi") == (0, "")
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    defined = [node for node in ast.walk(tree) if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    assert defined and all(ast.get_docstring(node) for node in defined)
    if INSTALLED:
        assert INSTALLED_STUB.read_bytes() == CHECKOUT_STUB.read_bytes(), "the wheel ships another stub"


def test_client_gets_exact_types_and_misuse_is_rejected(mypy, tmp_path):
    text = CLIENT.read_text(encoding="utf-8")
    (tmp_path / "client.py").write_text(text, encoding="utf-8")
    expected = {
        (number, marker[1])
        for number, line in enumerate(text.splitlines(), start=1)
        if (marker := re.search(r"# E: ([a-z-]+)$", line))
    }
    status, output = mypy(
        "mypy",
        "--strict",
        "--python-version",
        "3.10",
        "--show-error-codes",
        "--no-error-summary",
        "--no-color-output",
        "--no-pretty",
        "--hide-error-context",
        "client.py",
    )
    reported = set()
    for line in output.splitlines():
        if ": note: " in line:
            continue
        error = ERROR_LINE.match(line)
        assert error and error["file"] == "client.py", f"unexpected mypy output: {line!r}\n{output}"
        reported.add((int(error["line"]), error["code"]))
    assert status == 1 and reported == expected, output
