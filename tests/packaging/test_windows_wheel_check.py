"""The check that the hosted CI runs on every repaired Windows wheel
(tools/check_windows_wheel.py), against wheels made here with the faults a
misnamed module or a missed repair leaves: the wheel's tests on the runner that
built it cannot see a missed repair, since the system's own C++ runtime
stands in for the bundled one there."""

import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
AMD64, ARM64 = 0x8664, 0xAA64
RUNTIME = "msvcp140-0123456789abcdef0123456789abcdef.dll"


def image(machine, imports=""):
    """The start of a PE image for `machine` whose bytes name the DLL `imports`."""
    dos = bytearray(0x40)
    dos[:2] = b"MZ"
    dos[0x3C:0x40] = (0x40).to_bytes(4, "little")
    return bytes(dos) + b"PE\0\0" + machine.to_bytes(2, "little") + bytes(18) + imports.encode()


REPAIRED_ARM64 = {"vostral.pyd": image(ARM64, RUNTIME), RUNTIME: image(ARM64)}
CASES = {
    "stable ABI, ARM64": ("vostral-0.1.0-cp310-abi3-win_arm64.whl", REPAIRED_ARM64, None),
    "CPython 3.12, x86_64": (
        "vostral-0.1.0-cp312-cp312-win_amd64.whl",
        {"vostral.cp312-win_amd64.pyd": image(AMD64, RUNTIME), RUNTIME: image(AMD64)},
        None,
    ),
    "free-threaded CPython 3.14, ARM64": (
        "vostral-0.1.0-cp314-cp314t-win_arm64.whl",
        {"vostral.cp314t-win_arm64.pyd": image(ARM64, RUNTIME), RUNTIME: image(ARM64)},
        None,
    ),
    "stable ABI with and without the GIL, x86_64": (
        "vostral-0.1.0-cp315-abi3.abi3t-win_amd64.whl",
        {"vostral.pyd": image(AMD64, RUNTIME), RUNTIME: image(AMD64)},
        None,
    ),
    # What CMake names a version's own module when another platform's interpreter runs the build.
    "module named for another platform": (
        "vostral-0.1.0-cp312-cp312-win_arm64.whl",
        {"vostral.cp312-win_amd64.pyd": image(ARM64, RUNTIME), RUNTIME: image(ARM64)},
        "its interpreters import only vostral.cp312-win_arm64.pyd",
    ),
    "module for another architecture": (
        "vostral-0.1.0-cp310-abi3-win_arm64.whl",
        {**REPAIRED_ARM64, "vostral.pyd": image(AMD64, RUNTIME)},
        "vostral.pyd is not built for win_arm64",
    ),
    # Another architecture's runtime found first on the search path.
    "runtime for another architecture": (
        "vostral-0.1.0-cp310-abi3-win_arm64.whl",
        {**REPAIRED_ARM64, RUNTIME: image(AMD64)},
        f"{RUNTIME} is not built for win_arm64",
    ),
    "not repaired": (
        "vostral-0.1.0-cp310-abi3-win_arm64.whl",
        {"vostral.pyd": image(ARM64, "MSVCP140.dll")},
        "holds 0 privately named C++ runtimes",
    ),
    "runtime bundled, module not pointed at it": (
        "vostral-0.1.0-cp310-abi3-win_arm64.whl",
        {**REPAIRED_ARM64, "vostral.pyd": image(ARM64, "MSVCP140.dll")},
        f"vostral.pyd does not import {RUNTIME}",
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_the_check_refuses_each_wheel_that_cannot_load(case, tmp_path):
    name, files, problem = CASES[case]
    path = tmp_path / name
    with zipfile.ZipFile(path, "w") as wheel:
        for item, data in {**files, "vostral-0.1.0.dist-info/WHEEL": b"Wheel-Version: 1.0\n"}.items():
            wheel.writestr(item, data)
    completed = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "check_windows_wheel.py"), str(path)],
        capture_output=True,
        text=True,
        check=False,
    )
    if problem is None:
        assert (completed.returncode, completed.stderr) == (0, "")
    else:
        assert completed.returncode == 1
        assert problem in completed.stderr
