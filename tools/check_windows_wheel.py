"""Checks repaired Windows wheels of vostral without loading them.

The hosted CI runs it on each wheel it builds, after the repair and before
the tests. What makes a wheel importable on any Windows, not only on the
runner that built it (where the system's own C++ runtime hides a repair that
missed), is checked from its bytes:

  - the module is the one file name the wheel's interpreters import:
    vostral.pyd for the stable ABIs (abi3, abi3.abi3t),
    vostral.cp312-win_amd64.pyd, vostral.cp314t-win_arm64.pyd (and the like)
    for one CPython version;
  - the module's machine type is the wheel's architecture;
  - the C++ runtime sits beside it under a private name (msvcp140-<hash>.dll,
    from delvewheel), built for the same architecture, and the module imports
    it by that name.

Usage: python tools/check_windows_wheel.py WHEEL...; exit status 1 and one line
per problem when a wheel fails.
"""

import os
import re
import sys
import zipfile

MACHINES = {"win_amd64": 0x8664, "win_arm64": 0xAA64}
WHEEL_NAME = re.compile(r"vostral-[^-]+-(cp3\d+)-(abi3|abi3\.abi3t|cp3\d+t?)-(win_amd64|win_arm64)\.whl")
RUNTIME = re.compile(r"msvcp140-[0-9a-f]{32}\.dll", re.IGNORECASE)


def machine(image):
    """The machine field of a PE image's file header, or None if it is no PE image."""
    if image[:2] != b"MZ" or len(image) < 0x40:
        return None
    header = int.from_bytes(image[0x3C:0x40], "little")
    if image[header : header + 4] != b"PE\0\0":
        return None
    return int.from_bytes(image[header + 4 : header + 6], "little")


def problems(path):
    name = os.path.basename(path)
    tags = WHEEL_NAME.fullmatch(name)
    if not tags:
        return [f"{name}: not the name of a Windows wheel of vostral"]
    _, abi, platform = tags.groups()
    # A free-threaded build's own module carries its ABI's t: vostral.cp314t-win_amd64.pyd.
    module = "vostral.pyd" if abi.startswith("abi3") else f"vostral.{abi}-{platform}.pyd"
    with zipfile.ZipFile(path) as wheel:
        top = {item for item in wheel.namelist() if "/" not in item}
        found = []
        modules = sorted(item for item in top if item.lower().endswith(".pyd"))
        if modules != [module]:
            found.append(f"{name}: holds modules {modules}; its interpreters import only {module}")
        runtimes = sorted(item for item in top if RUNTIME.fullmatch(item))
        if len(runtimes) != 1:
            found.append(f"{name}: holds {len(runtimes)} privately named C++ runtimes (msvcp140-<hash>.dll), not 1")
        images = {item: wheel.read(item) for item in modules + runtimes}
    for item, image in images.items():
        if machine(image) != MACHINES[platform]:
            found.append(f"{name}: {item} is not built for {platform}")
    if module in images and len(runtimes) == 1 and runtimes[0].lower().encode() not in images[module].lower():
        found.append(f"{name}: {module} does not import {runtimes[0]}")
    return found


def main(paths):
    if not paths:
        print("usage: python tools/check_windows_wheel.py WHEEL...", file=sys.stderr)
        return 2
    failed = [line for path in paths for line in problems(path)]
    for line in failed:
        print(line, file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
